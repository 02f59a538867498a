#!/usr/bin/env bash
# Drives the web UI with headless Chromium against a server started in a sandbox of its own, where it has the
# appliance's ports (80 and 8081), its settings folder (/userdata/config) and the repository's html/ at
# /usr/bin/html, exactly as the appliance runs. The test starts, restarts and stops the server itself.
#   browser_test.sh SERVER_BINARY SCREENSHOT_DIR [--fake]
# With --fake the server is web_test_server and the test also checks what its fake services report (the
# NDI sources it "finds"); without it any server works, the real briskbox binary included.
set -euo pipefail
server=$1
shots=$2
mode=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
[ -d "$here/node_modules/playwright-core" ] || { echo "playwright-core is missing: run scripts/install-deps.sh"; exit 1; }
mkdir -p "$shots"
exec "$repo/scripts/sandbox.sh" node "$here/browser_test.mjs" --server "$server" --url http://127.0.0.1/ \
  --settings /userdata/config --shots "$shots" $mode
