#!/usr/bin/env bash
# Installs what is missing, builds the appliance and runs it inside the sandbox (Ctrl-C ends it).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/install-deps.sh"
"$repo/scripts/build.sh" normal
exec "$repo/scripts/sandbox.sh" "$repo/build/main/briskbox"
