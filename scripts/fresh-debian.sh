#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# fresh-debian.sh - runs a command as root in a fresh Debian 12 or 13 tree: the base system with
# apt and ca-certificates and nothing else, as a new machine meets the project.
#
#   scripts/fresh-debian.sh [--release 12|13] [--clone] [--copy DIR]... [--keep] -- COMMAND...
#   e.g. scripts/fresh-debian.sh --release 13 --clone -- scripts/test.sh --quick
#
#   --release   the Debian release of the tree: 12 (bookworm) or 13 (trixie); by default this
#               machine's own
#   --clone     clone HEAD of this repository into /opt/project and run COMMAND there
#   --copy DIR  copy DIR into the tree as /opt/<its name> (COMMAND runs in /opt without --clone)
#   --keep      leave the tree for a look (its path is printed)
#
# The base tree is made with mmdebstrap from this machine's Debian mirror (the release, its
# updates and its security suite) and cached in $FRESH_DEBIAN_CACHE (default
# /var/cache/zefa-fresh-debian), one for each release; it is made anew when older than a week.
# Each run unpacks it afresh, makes it a mount point of its own (so that tests may make their
# mounts private there), mounts /proc and a private /dev/pts (pseudo-terminals) in it and nothing
# else, and removes the tree afterwards.
# The packages apt downloads in the tree are kept in the cache for later runs. COMMAND sees
# CI=true and a minimal environment. Needs root, mmdebstrap and the Debian mirror.
# Exit status: COMMAND's.
set -euo pipefail
. "$(dirname "$0")/lib/common.sh"
step_prefix="fresh-debian:"

clone=0
keep=0
copies=()
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
while [ $# -gt 0 ]; do
    case "$1" in
        --release)
            need_value "$@"
            case "$2" in
                12 | bookworm) codename=bookworm ;;
                13 | trixie) codename=trixie ;;
                *) usage_error "--release 12 or 13, not $2" ;;
            esac
            shift 2 ;;
        --clone) clone=1; shift ;;
        --copy) need_value "$@"; copies+=("$(cd "$2" && pwd)"); shift 2 ;;
        --keep) keep=1; shift ;;
        -h | --help) print_usage; exit 0 ;;
        --) shift; break ;;
        *) usage_error "unknown argument: $1" ;;
    esac
done
[ $# -gt 0 ] || usage_error "no command to run (after --)"
case "$codename" in
    bookworm | trixie) ;;
    *) echo "fresh-debian: this machine is no Debian 12 or 13: say --release" >&2; exit 2 ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "fresh-debian: needs root (mmdebstrap, chroot)" >&2; exit 2; }
command -v mmdebstrap >/dev/null || {
    echo "fresh-debian: needs mmdebstrap (scripts/install-deps.sh installs it)" >&2
    exit 2
}

cache=${FRESH_DEBIAN_CACHE:-/var/cache/zefa-fresh-debian}
base=$cache/$codename-base.tar
archives=$cache/$codename-archives
max_age_days=7
mkdir -p "$archives"

# The machine's own Debian sources as one-line entries, "deb URI SUITE main", for the release
# wanted: the suites of the machine's release (bookworm, bookworm-updates, bookworm-security)
# renamed after it.
debian_sources() {
    local own
    own=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' |
        awk -v own="$own" -v want="$codename" '$3 == "deb" && index($2, own) == 1 {
            print "deb " $1 " " want substr($2, length(own) + 1) " main" }' | sort -u
}

# mmdebstrap hands apt a descriptor of its own by number in a command that dash runs, and dash
# cannot redirect descriptors above 9: what a caller leaves open (ctest, the lock below) pushes
# it there. So it starts with none but the standard three.
without_inherited_fds() {
    local fd
    for fd in /proc/"$BASHPID"/fd/*; do
        fd=${fd##*/}
        [ "$fd" -le 2 ] || eval "exec $fd>&-" 2>/dev/null || true
    done
    "$@"
}

make_base() {
    local sources
    sources=$(debian_sources)
    [ -n "$sources" ] || { echo "fresh-debian: no Debian source in apt's configuration" >&2; exit 2; }
    echo "fresh-debian: making the $codename base tree (about a minute, then cached)" >&2
    rm -f "$archives"/*.deb   # the packages kept for the previous tree
    # Mirrors that serve a snapshot of the archive have Release files past their Valid-Until.
    (without_inherited_fds mmdebstrap --variant=apt --include=ca-certificates \
        --aptopt='Acquire::Check-Valid-Until "false"' \
        "$codename" "$cache/part.$$.tar" - <<<"$sources") >"$cache/$codename-base.log" 2>&1 ||
        { tail -20 "$cache/$codename-base.log" >&2; rm -f "$cache/part.$$.tar"; exit 2; }
    mv "$cache/part.$$.tar" "$base"
}

# One maker at a time; a second run waits for the first's tree.
exec 9>"$cache/base.lock"
flock 9
if [ ! -s "$base" ] || [ -n "$(find "$base" -mtime +"$max_age_days")" ]; then make_base; fi
flock -u 9

tree=$(mktemp -d "$cache/tree.XXXXXX")
cleanup() {
    umount -R -l "$tree" 2>/dev/null || true
    # Keep what apt downloaded (hard links: the tree lies in the cache's file system).
    cp -ln "$tree"/var/cache/apt/archives/*.deb "$archives/" 2>/dev/null || true
    if [ "$keep" -eq 1 ]; then
        echo "fresh-debian: tree kept at $tree" >&2
    elif findmnt -rn -o TARGET | grep -q "^$tree"; then
        echo "fresh-debian: something is still mounted in $tree; not removing it" >&2
    else
        rm -rf "$tree"
    fi
}
trap cleanup EXIT
tar -C "$tree" -xf "$base"
cp /etc/resolv.conf "$tree/etc/resolv.conf" 2>/dev/null || true
cp -l "$archives"/*.deb "$tree/var/cache/apt/archives/" 2>/dev/null || true

workdir=/opt
if [ "$clone" -eq 1 ]; then
    # The commit checked out here, also from a worktree whose clone would get another branch.
    # Read as root from a clone that may be a user's: git refuses such a repository unless told
    # that it is safe, and nothing here writes to it.
    repo=$(git -c safe.directory='*' -C "$(dirname "$0")" rev-parse --show-toplevel)
    git -c safe.directory='*' clone -q --no-checkout \
        --upload-pack="git -c safe.directory='*' upload-pack" "$repo" "$tree/opt/project"
    git -C "$tree/opt/project" checkout -q "$(git -c safe.directory='*' -C "$repo" rev-parse HEAD)"
    workdir=/opt/project
fi
for dir in "${copies[@]}"; do cp -a "$dir" "$tree/opt/"; done

command=$(printf '%q ' "$@")
start=$(date +%s)
status=0
# Nothing of the machine's /dev or /sys is mounted: the base tree has its own device nodes, and
# the tree's own /dev/pts is a new instance, so nothing of the machine can be reached from the
# tree when it is removed. The tree is bound onto itself so that its / is a mount point, as on a
# machine.
mount --bind "$tree" "$tree"
mount -t proc proc "$tree/proc"
mkdir -p "$tree/dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$tree/dev/pts"
[ -e "$tree/dev/ptmx" ] || ln -s pts/ptmx "$tree/dev/ptmx"
chroot "$tree" /usr/bin/env -i HOME=/root LANG=C.UTF-8 CI=true \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd $workdir && $command" || status=$?
echo "fresh-debian: Debian $codename, exit status $status after $(($(date +%s) - start)) s" >&2
exit "$status"
