#!/usr/bin/env bash
# Configures and builds one flavour of the project into build[-FLAVOUR]/.
#   scripts/build.sh [normal|asan|tsan|fuzz]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-normal}
targets=()
case "$flavour" in
  normal) dir=build; args=() ;;
  asan)   dir=build-asan; args=(-DBRISKBOX_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan)   dir=build-tsan; args=(-DBRISKBOX_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  fuzz)   dir=build-fuzz; args=(-DBRISKBOX_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
                                -DCMAKE_BUILD_TYPE=RelWithDebInfo)
          # Only the fuzz targets and what they link: the rest of the project is built by the other flavours.
          targets=(--target fuzz_targets) ;;
  *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac
cmake -S "$repo" -B "$repo/$dir" -G Ninja -Wno-dev "${args[@]}" >/dev/null
cmake --build "$repo/$dir" -j "$(nproc)" "${targets[@]}"
