#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that are not installed yet (nothing else is fetched).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
missing=()
while read -r pkg; do
  [ -z "$pkg" ] && continue
  case "$pkg" in \#*) continue ;; esac
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done < "$here/packages.txt"
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# Node.js and npm for the browser-test tooling: Debian's packages, unless the machine already has a node with
# its own npm (a separately packaged nodejs bundles npm and conflicts with Debian's npm package).
if ! command -v npm >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends nodejs npm
fi
# playwright-core from npm drives Debian's chromium in the browser tests (tests/web/package-lock.json).
[ -d "$here/../tests/web/node_modules/playwright-core" ] || (cd "$here/../tests/web" && npm ci --no-audit --no-fund)
