#!/usr/bin/env bash
# Runs a command inside the appliance's sandbox: its own network namespace (loopback up and an "eth0" of its
# own, one end of a veth pair) and its own mount namespace (private tmpfs on /tmp and /userdata, a private
# /etc/resolv.conf, the repository's html/ at /usr/bin/html). The appliance reconfigures eth0 and writes
# those paths; inside, it touches nothing of the host. Sandboxes nest, so a test can start a fresh one.
#   scripts/sandbox.sh COMMAND [ARG...]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
eth0_address=198.51.100.2/24

if [ "${BRISKBOX_SANDBOX_STAGE:-}" != inside ]; then
  [ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }
  # Empty mount points; the sandbox mounts its own file systems over them.
  mkdir -p /userdata /usr/bin/html
  exec unshare --net --mount --propagation private \
    env BRISKBOX_SANDBOX_STAGE=inside BRISKBOX_SANDBOX=1 "$0" "$@"
fi
unset BRISKBOX_SANDBOX_STAGE
workdir=$PWD

ip link set lo up
ip link add eth0 type veth peer name eth0-peer
ip addr add "$eth0_address" dev eth0
ip link set eth0-peer up
ip link set eth0 up

# A sysfs of this network namespace, so /sys/class/net shows the sandbox's own interfaces.
mount -t sysfs sysfs /sys
mount -t tmpfs -o mode=0755 tmpfs /userdata
# A private /tmp; a repository or working folder that lives under /tmp stays reachable at its own path.
keep=("$repo")
case "$workdir/" in "$repo"/*) ;; *) keep+=("$workdir") ;; esac
hold=()
for path in "${keep[@]}"; do
  case "$path" in
    /tmp/*)
      mkdir -p "/userdata/.hold${#hold[@]}"
      mount --bind "$path" "/userdata/.hold${#hold[@]}"
      hold+=("$path") ;;
  esac
done
mount -t tmpfs -o mode=1777 tmpfs /tmp
for i in "${!hold[@]}"; do
  mkdir -p "${hold[$i]}"
  mount --move "/userdata/.hold$i" "${hold[$i]}"
  rmdir "/userdata/.hold$i"
done

printf 'nameserver 127.0.0.1\n' > /tmp/.sandbox-resolv.conf
mount --bind /tmp/.sandbox-resolv.conf /etc/resolv.conf
mount --bind "$repo/html" /usr/bin/html

cd "$workdir"
exec "$@"
