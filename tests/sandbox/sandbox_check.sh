#!/usr/bin/env bash
# Proves the sandbox isolates the appliance: inside, eth0 is the sandbox's own (its address, a veth), a
# write to /userdata and /tmp stays inside, and /etc/resolv.conf is private. Runs on the host side.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
marker="sandbox-check-$$-$RANDOM"
status=0
check() { if eval "$2"; then echo "ok: $1"; else echo "not ok: $1"; status=1; fi; }

host_resolv=$(cat /etc/resolv.conf 2>/dev/null)
inside=$("$repo/scripts/sandbox.sh" bash -c "
  ip -o addr show dev eth0
  ip -d -o link show dev eth0 | grep -o veth
  echo $marker > /userdata/x && cat /userdata/x
  echo $marker > /tmp/$marker && echo tmp-written
  echo 'nameserver 203.0.113.9' > /etc/resolv.conf && cat /etc/resolv.conf
  test -f /usr/bin/html/index.html && echo html-bound
" 2>&1)
echo "$inside" | sed 's/^/  inside: /'

check "eth0 inside has the sandbox's address" "grep -q 'eth0 .*inet 198.51.100.2/24' <<<\"\$inside\""
check "eth0 inside is a veth" "grep -qx veth <<<\"\$inside\""
check "/userdata write worked inside" "grep -qx $marker <<<\"\$inside\""
check "/userdata write is not on the host" "! grep -qs $marker /userdata/x"
check "/tmp write is not on the host" "[ ! -e /tmp/$marker ]"
check "resolv.conf write is not on the host" "[ \"\$(cat /etc/resolv.conf 2>/dev/null)\" = \"\$host_resolv\" ]"
check "html/ is at /usr/bin/html inside" "grep -qx html-bound <<<\"\$inside\""
exit $status
