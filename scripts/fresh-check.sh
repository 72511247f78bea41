#!/usr/bin/env bash
# Tries the README's two commands as a new user would, on a brand-new minimal
# Debian 12 system: builds one with mmdebstrap (--variant=minbase) from this
# machine's own apt sources, copies the committed tree (HEAD) into it, runs the
# run command there (it installs only what the program needs, builds it, and
# says that there is no display), then the test command, and removes every
# mount and file it made. Not part of CI; run it before changing the install
# step. Needs root and network access to the apt mirror.
#
#   scripts/fresh-check.sh [--keep]     --keep leaves the root file system for a look
set -euo pipefail
cd "$(dirname "$0")/.."

keep=0
[ "${1:-}" = "--keep" ] && keep=1

say() { echo "fresh-check: $*"; }
fail() { echo "fresh-check: FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root (mmdebstrap, mounts, chroot)"
command -v mmdebstrap >/dev/null 2>&1 || {
    say "installing mmdebstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null \
        || fail "could not install mmdebstrap"
}

sources=$(mktemp)
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$sources"
elif [ -s /etc/apt/sources.list ]; then
    grep -E '^\s*deb\s' /etc/apt/sources.list >"$sources"
else
    echo "deb http://deb.debian.org/debian bookworm main" >"$sources"
fi

root=$(mktemp -d /var/tmp/corvelline-fresh.XXXXXX)
cleanup() {
    # The chroot's mounts live in a mount namespace of their own (see below),
    # so they went with it; what is left is the folder.
    rm -f "$sources"
    if [ "$keep" = 1 ]; then say "left $root"; else rm -rf --one-file-system "$root"; fi
}
trap cleanup EXIT

start=$(date +%s)
say "building a minimal Debian 12 system in $root"
mmdebstrap --quiet --variant=minbase bookworm "$root" "$sources" || fail "mmdebstrap"

say "copying the committed tree (HEAD) to /project"
mkdir -p "$root/project"
git archive HEAD | tar -x -C "$root/project"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# A mount namespace of our own: the root file system becomes a mount point
# (as on a real machine), with /proc, /sys, /dev and a fresh /tmp; all of it
# disappears when the namespace ends.
log="$root/fresh-check.log"
unshare --mount --fork bash -euo pipefail -c '
    root=$1
    mount --make-rprivate /
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb bash -c "
        set -u
        cd /project
        echo \"--- scripts/run.sh (no display)\"
        scripts/run.sh; rc=\$?
        if [ \$rc -eq 0 ]; then echo \"run command: expected a failure without a display\"; exit 1; fi
        echo \"--- scripts/test.sh\"
        scripts/test.sh
    "
' fresh "$root" 2>&1 | tee "$log" | sed 's/^/    /'
status=${PIPESTATUS[0]}
seconds=$(( $(date +%s) - start ))

if [ "$status" -ne 0 ]; then
    fail "the README's commands failed on a fresh system after ${seconds}s (log above)"
fi
say "passed in ${seconds}s: the run command builds without the test toolchain and the test command passes on a fresh Debian 12"
