#!/usr/bin/env bash
# The latency benchmark (see bench/README.md): many small files over a line
# with a round trip of its own. Makes two network namespaces, joined by
# bench/delayline (built here) through a TUN device in each, runs vsftpd in
# one and times the clients from the other with bench/latency.py.
#
#   bench/latency.sh [--rtt MS] [--runs N] [--files N] [--only TEXT] ...
#
# --rtt (default 20) is read here; every argument also goes to latency.py.
# QELTA_BENCH_EXE names the qelta to time; without it build-release/qelta is
# built. Needs root (CAP_NET_ADMIN) and /dev/net/tun. Whatever it made is
# removed on exit, failure included.
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"

RTT=20
args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
    --rtt) RTT=${2:?--rtt needs a value in ms}; shift 2 ;;
    --rtt=*) RTT=${1#--rtt=}; shift ;;
    *) shift ;;
    esac
done
case "$RTT" in
'' | *[!0-9.]*) echo "--rtt takes milliseconds, not '$RTT'" >&2; exit 2 ;;
esac

need_packages cmake ninja-build g++ gcc python3 vsftpd curl lftp iproute2
cd "$ROOT"

if [ -n "${QELTA_BENCH_EXE:-}" ]; then
    EXE=$(realpath "$QELTA_BENCH_EXE")
    [ -x "$EXE" ] || { echo "QELTA_BENCH_EXE=$QELTA_BENCH_EXE is not a program" >&2; exit 1; }
else
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQELTA_TESTS=OFF >/dev/null
    cmake --build build-release -j 2 --target qelta >/dev/null
    EXE=$ROOT/build-release/qelta
fi

[ -c /dev/net/tun ] || { echo "no /dev/net/tun: the delay line needs TUN devices" >&2; exit 1; }

# Names of this run's own, so that two runs do not meet.
SRV=qelta-lat-srv-$$
CLI=qelta-lat-cli-$$
TUN=qlat0
WORK=$(mktemp -d /var/tmp/qelta-latency.XXXXXX)  # on disk, as bench/jobs.sh
chmod 755 "$WORK"  # the server runs as nobody
LINE_PID=

cleanup() {
    local rc=$? ns pid
    trap - EXIT INT TERM
    [ -n "$LINE_PID" ] && kill "$LINE_PID" 2>/dev/null && wait "$LINE_PID" 2>/dev/null
    for ns in "$CLI" "$SRV"; do
        [ -e "/run/netns/$ns" ] || continue
        # Whatever still runs in our namespaces was started by this run.
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
        sleep 0.2
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || true
    done
    rm -rf "$WORK"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if ! ip netns add "$SRV" 2>"$WORK/err"; then
    echo "cannot make a network namespace (CAP_NET_ADMIN is needed): $(cat "$WORK/err")" >&2
    exit 1
fi
ip netns add "$CLI"

# The server is 127.0.0.1, the client 127.0.0.2. Each namespace keeps only
# its own address on lo (127.0.0.0/8 as a whole would make the other's
# address local) and reaches the other through its TUN device;
# route_localnet lets loopback-range addresses travel over a device that is
# not lo, and rp_filter would drop what comes back from them.
setup_ns() { # NS OWN PEER
    ip -n "$1" link set lo up
    ip -n "$1" addr del 127.0.0.1/8 dev lo
    ip -n "$1" addr add "$2/32" dev lo
    ip -n "$1" tuntap add dev "$TUN" mode tun
    ip -n "$1" link set "$TUN" up
    ip -n "$1" route add "$3/32" dev "$TUN" src "$2"
    ip netns exec "$1" sysctl -q -w net.ipv4.conf.all.route_localnet=1 \
        "net.ipv4.conf.$TUN.route_localnet=1" net.ipv4.conf.all.rp_filter=0 \
        "net.ipv4.conf.$TUN.rp_filter=0"
}
setup_ns "$SRV" 127.0.0.1 127.0.0.2
# vsftpd runs as nobody and listens on port 21.
ip netns exec "$SRV" sysctl -q -w net.ipv4.ip_unprivileged_port_start=0
setup_ns "$CLI" 127.0.0.2 127.0.0.1

cc -O2 -Wall -Wextra -o "$WORK/delayline" bench/delayline.c
ONE_WAY_US=$(awk -v r="$RTT" 'BEGIN { printf "%d", r * 500 }')
mkfifo "$WORK/ready"
"$WORK/delayline" "$ONE_WAY_US" "/run/netns/$SRV" "$TUN" "/run/netns/$CLI" "$TUN" >"$WORK/ready" &
LINE_PID=$!
read -r -t 5 word <"$WORK/ready" && [ "$word" = ready ] ||
    { echo "the delay line did not start" >&2; exit 1; }

# The driver runs in the client's namespace and starts the server in the
# other one itself; it gets a folder of its own under WORK.
# In the background, so that a signal reaches the trap at once (bash runs a
# trap only once the foreground command has ended).
ip netns exec "$CLI" /usr/bin/python3 bench/latency.py --qelta "$EXE" --server-ns "$SRV" \
    --rtt "$RTT" --tmp "$WORK" "${args[@]}" &
wait $!
