#!/usr/bin/env bash
# Runs a command inside a sandbox that keeps every packet on this machine:
# a fresh network namespace (loopback, plus a veth pair t0/t1 with
# 192.168.77.1/24 on t0 and the default route through it), a private mount
# namespace with its own /var/tmp, an isolated HOME and TMPDIR, and an Xvfb
# display (started with -noreset, removed on exit).
#
#   scripts/sandbox.sh <command> [args...]
set -euo pipefail

if [ "${CORVELLINE_IN_SANDBOX:-}" != "1" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "sandbox: needs root to create network namespaces" >&2
        exit 1
    fi
    export CORVELLINE_IN_SANDBOX=1
    exec unshare --net --mount --fork "$0" "$@"
fi

# Inside the new namespaces.
mount --make-rprivate /
mount -t tmpfs tmpfs /var/tmp

ip link set lo up
ip link add t0 type veth peer name t1
ip addr add 192.168.77.1/24 dev t0
ip link set t0 up
ip link set t1 up
ip route add default dev t0

work=$(mktemp -d "${TMPDIR:-/tmp}/corvelline-sandbox.XXXXXX")
mkdir -p "$work/home" "$work/tmp"
export HOME="$work/home" TMPDIR="$work/tmp"
unset XDG_CONFIG_HOME XDG_RUNTIME_DIR DBUS_SESSION_BUS_ADDRESS

xvfb_pid=""
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
display=""
for n in $(seq 90 199); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
if [ -z "$display" ]; then
    echo "sandbox: no free X display number" >&2
    exit 1
fi
Xvfb ":$display" -noreset -nolisten tcp -screen 0 1920x1080x24 >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 1 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
if ! xdpyinfo >/dev/null 2>&1; then
    echo "sandbox: Xvfb did not start" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi

"$@"
