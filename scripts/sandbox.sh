#!/usr/bin/env bash
# Runs a command inside a sandbox that keeps every packet on this machine:
# a fresh network namespace (loopback, plus a veth pair t0/t1 with
# 192.168.77.1/24 on t0 and the default route through it), a private mount
# namespace with its own /var/tmp, an isolated HOME and TMPDIR, and an Xvfb
# display (started with -noreset, removed on exit).
#
#   scripts/sandbox.sh <command> [args...]
#   scripts/sandbox.sh --check      only says whether a sandbox can be made here
#
# It needs root, a root file system that is a mount point, and permission to
# create network and mount namespaces: ordinary machines and containers have
# them, a bare chroot does not.
set -euo pipefail

check() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "sandbox: needs root to create network namespaces; run the test command as root" >&2
        return 1
    fi
    if ! command -v unshare >/dev/null 2>&1 || ! command -v ip >/dev/null 2>&1; then
        echo "sandbox: needs unshare (util-linux) and ip (iproute2); scripts/install-deps.sh installs them" >&2
        return 1
    fi
    if ! mountpoint -q /; then
        echo "sandbox: the root of the file system is not a mount point (a bare chroot?); run where / is mounted, as on an ordinary machine or container" >&2
        return 1
    fi
    if ! unshare --net --mount true 2>/dev/null; then
        echo "sandbox: this system does not allow creating network and mount namespaces (unshare --net --mount failed)" >&2
        return 1
    fi
}

if [ "${1:-}" = "--check" ]; then
    check
    exit $?
fi

if [ "${CORVELLINE_IN_SANDBOX:-}" != "1" ]; then
    check || exit 1
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

# An Xvfb display of our own. Display numbers are shared by the whole machine
# (lock files and sockets live in /tmp) while sandboxes have network
# namespaces of their own, so a number counts as ours only when our server
# wrote its process id into the lock file and answers on it.
display=""
first=$(( 90 + $$ % 100 ))
for i in $(seq 0 99); do
    n=$(( 90 + (first - 90 + i) % 100 ))
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -noreset -nolisten tcp -screen 0 1920x1080x24 >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 100); do
        kill -0 "$xvfb_pid" 2>/dev/null || break
        if [ "$(cat "/tmp/.X$n-lock" 2>/dev/null | tr -d ' \n')" = "$xvfb_pid" ] && DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
            display=$n
            break
        fi
        sleep 0.05
    done
    [ -n "$display" ] && break
    kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
done
if [ -z "$display" ]; then
    echo "sandbox: could not start Xvfb" >&2
    cat "$work/xvfb.log" >&2 2>/dev/null
    exit 1
fi
export DISPLAY=":$display"

"$@"
