#!/usr/bin/env bash
# Runs a command inside the appliance's sandbox: its own network namespace (loopback up and an "eth0" of its
# own, one end of a veth pair) and its own mount namespace (private tmpfs on /tmp and /userdata, a private
# /etc/resolv.conf, the repository's html/ at /usr/bin/html). The appliance reconfigures eth0 and writes
# those paths; inside, it touches nothing of the host. Sandboxes nest, so a test can start a fresh one.
#   scripts/sandbox.sh [--host-link] [--userdata DIR] COMMAND [ARG...]
# --userdata DIR   /userdata is the folder DIR (kept between runs) instead of a fresh tmpfs.
# --host-link      the machine that starts the sandbox reaches it: the other end of the veth pair, "briskbox0",
#                  goes to the caller's network namespace with 198.51.100.1/24, and the sandbox keeps
#                  198.51.100.2/24 on its eth0 under the label "eth0:host" whatever the appliance does to its
#                  own address. The sandbox then also gets a process namespace of its own: when the command
#                  ends, every process it left behind ends with it, so the namespace, and with it briskbox0 and
#                  its address, goes away. The script returns once briskbox0 is gone. SIGINT, SIGTERM or SIGHUP
#                  to the script reach the command as one SIGINT.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
eth0_address=198.51.100.2/24
host_link=briskbox0
host_link_address=198.51.100.1/24
host_link_net=198.51.100.

if [ "${BRISKBOX_SANDBOX_STAGE:-}" != inside ]; then
  with_host_link=
  userdata=
  while [ $# -gt 0 ]; do
    case "$1" in
      --host-link) with_host_link=1; shift ;;
      --userdata)
        [ $# -ge 2 ] || { echo "$0: --userdata needs a folder" >&2; exit 2; }
        userdata=$(cd "$2" && pwd) || { echo "$0: no folder $2" >&2; exit 2; }
        shift 2 ;;
      *) break ;;
    esac
  done
  [ $# -gt 0 ] || { echo "usage: $0 [--host-link] [--userdata DIR] COMMAND [ARG...]" >&2; exit 2; }
  # Empty mount points; the sandbox mounts its own file systems over them.
  mkdir -p /userdata /usr/bin/html
  stage=(env BRISKBOX_SANDBOX_STAGE=inside BRISKBOX_SANDBOX=1 BRISKBOX_SANDBOX_USERDATA="$userdata")
  if [ -z "$with_host_link" ]; then
    exec unshare --net --mount --propagation private "${stage[@]}" "$0" "$@"
  fi

  host_link_gone() { ! ip link show dev "$host_link" >/dev/null 2>&1; }
  # wait_until SECONDS COMMAND...: true once the command succeeds.
  wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
      [ $SECONDS -lt $deadline ] || return 1
      sleep 0.2
    done
  }
  # A sandbox that just ended may still be tearing its namespace (and so its end of the link) down.
  wait_until 30 host_link_gone ||
    { echo "$0: $host_link exists: another sandbox with a host link is running" >&2; exit 1; }
  # Read whole: "ip" writes a line at a time, and a grep -q that stops at its match breaks its pipe.
  if grep -qF " inet $host_link_net" <<<"$(ip -o -4 addr show)"; then
    echo "$0: this machine already has an address in ${host_link_net}0/24; the host link needs that range" >&2
    exit 1
  fi
  # The sandbox moves its end of the link here through this handle on the caller's network namespace.
  exec {host_net}</proc/self/ns/net
  # Its status is kept by a shell of its own: this one's trap could lose it (see keep_status.sh).
  pid_file=$(mktemp)
  status_file=$(mktemp)
  "$repo/scripts/keep_status.sh" "$pid_file" "$status_file" \
    unshare --net --mount --pid --fork --kill-child --mount-proc --propagation private \
    "${stage[@]}" BRISKBOX_SANDBOX_HOST_NET_FD="$host_net" "$0" "$@" &
  keeper=$!
  exec {host_net}<&-
  until [ -s "$pid_file" ]; do sleep 0.05; done
  sandbox=$(<"$pid_file")
  forwarded=
  forward_interrupt() {
    [ -z "$forwarded" ] || return 0
    forwarded=1
    local first
    # The command is the only child of unshare (it is process 1 of the sandbox).
    first=$(cat "/proc/$sandbox/task/$sandbox/children" 2>/dev/null) || true
    [ -n "$first" ] && kill -INT $first 2>/dev/null || true
  }
  trap forward_interrupt INT TERM HUP
  # The keeper writes the status once the sandbox has ended; only a SIGKILL could end it before that. A
  # trapped signal cuts a wait for the keeper short, so it is waited for again until it has ended.
  until [ -s "$status_file" ] || ! kill -0 "$keeper" 2>/dev/null; do wait "$keeper" || true; done
  status=$(<"$status_file")
  rm -f "$pid_file" "$status_file"
  [ -n "$status" ] || { echo "$0: the sandbox's keeper was killed: its exit status is lost" >&2; status=1; }
  wait_until 30 host_link_gone || echo "$0: $host_link still exists 30 s after the sandbox ended" >&2
  exit "$status"
fi
unset BRISKBOX_SANDBOX_STAGE
workdir=$PWD
userdata=$BRISKBOX_SANDBOX_USERDATA
unset BRISKBOX_SANDBOX_USERDATA

ip link set lo up
if [ -n "${BRISKBOX_SANDBOX_HOST_NET_FD:-}" ]; then
  host_net_fd=$BRISKBOX_SANDBOX_HOST_NET_FD
  host_net=/proc/self/fd/$host_net_fd
  unset BRISKBOX_SANDBOX_HOST_NET_FD
  ip link add eth0 type veth peer name "$host_link" netns "$host_net"
  in_host() { nsenter --net="$host_net" "$@"; }
  # The host's end takes no IPv6 address, forwards nothing the appliance sends and answers ARP only for its
  # own address: the appliance's default gateway and DNS lead nowhere beyond this link.
  in_host sh -c "
    [ ! -d /proc/sys/net/ipv6/conf/$host_link ] || echo 1 > /proc/sys/net/ipv6/conf/$host_link/disable_ipv6
    echo 0 > /proc/sys/net/ipv4/conf/$host_link/forwarding &&
    echo 1 > /proc/sys/net/ipv4/conf/$host_link/arp_ignore" ||
    echo "$0: could not limit $host_link (IPv6 off, no forwarding, ARP for its own address only)" >&2
  in_host ip addr add "$host_link_address" dev "$host_link"
  in_host ip link set "$host_link" up
  # Nothing in the sandbox keeps a way into the host's network.
  exec {host_net_fd}<&-
  # The address the caller reaches the sandbox at.
  export BRISKBOX_SANDBOX_HOST_ADDRESS=${eth0_address%/*}
  # The appliance sets its own address with ifconfig, which replaces the address labelled "eth0"; this one
  # has a label of its own and stays.
  ip addr add "$eth0_address" dev eth0 label eth0:host
  ip link set eth0 up
  # Its DHCP client flushes every address of eth0, though: put this one back whenever it is gone.
  (
    while :; do
      sleep 1
      grep -qF " inet $eth0_address " <<<"$(ip -o -4 addr show dev eth0)" ||
        ip addr add "$eth0_address" dev eth0 label eth0:host 2>/dev/null || true
    done
  ) </dev/null >/dev/null 2>&1 &
else
  ip link add eth0 type veth peer name eth0-peer
  ip addr add "$eth0_address" dev eth0
  ip link set eth0-peer up
  ip link set eth0 up
fi

# A sysfs of this network namespace, so /sys/class/net shows the sandbox's own interfaces.
mount -t sysfs sysfs /sys
mount -t tmpfs -o mode=0755 tmpfs /userdata
# A private /tmp; a repository, working or userdata folder that lives under /tmp stays reachable.
keep=("$repo")
case "$workdir/" in "$repo"/*) ;; *) keep+=("$workdir") ;; esac
case "$userdata/" in /) ;; "$repo"/*) ;; *) keep+=("$userdata") ;; esac
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
if [ -n "$userdata" ]; then
  umount /userdata
  mount --bind "$userdata" /userdata
fi

printf 'nameserver 127.0.0.1\n' > /tmp/.sandbox-resolv.conf
mount --bind /tmp/.sandbox-resolv.conf /etc/resolv.conf
mount --bind "$repo/html" /usr/bin/html

cd "$workdir"
exec "$@"
