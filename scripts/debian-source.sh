#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# debian-source.sh - fetches the source of a Debian package, checked against the archive's signed
# index, unpacks it into DIR and prints the version it took.
#
#   scripts/debian-source.sh [--suites "SUITE..."] [--at-least MIN --below MAX] PACKAGE VERSION DIR
#
#   --suites    where to look (default: this release and its updates)
#   --at-least, --below
#               when VERSION is no longer offered, take the newest version in this range (with a
#               warning) instead of failing
#
# The suites are read from the system's own Debian mirror through a private apt configuration
# (its own sources, lists and cache: the system's are neither read nor written), whose index must
# verify with Debian's archive keyring. Every file fetched must have the SHA-256 the index gives
# it; dpkg-source then checks the tarballs against the .dsc. The archive does not serve every
# file of every release: where it serves the upstream tarball but not the .dsc and Debian's
# changes, the upstream tarball alone is unpacked, and a warning says so.
# Needs no root: apt runs with directories of its own (as root it downloads as the _apt user, as
# everywhere). Progress lines go to standard error, the tools' output to $ZEFA_STEP_LOG
# (install-deps.sh's log) or build/debian-source.log.
# Environment: DEBIAN_SRC_MIRROR (default: the URI of the system's own entry for this release),
# DEBIAN_ARCHIVE_KEYRING (default: debian-archive-keyring's keyring).
set -euo pipefail

main() {
    read_arguments "$@"
    work=$(mktemp -d "${TMPDIR:-/tmp}/debian-source.XXXXXX") || die "no temporary directory"
    trap 'remove_work' EXIT
    update_private_lists
    version=$(choose_version) || exit
    fetch_files
    verify_files
    unpack
    echo "$version"
}

read_arguments() {
    case "${1:-}" in -h | --help) print_usage; exit 0 ;; esac
    step_prefix="[deps]"
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    suites="$codename $codename-updates"
    at_least="" below=""
    while [ $# -gt 3 ]; do
        case "$1" in
            --suites) need_value "$@"; suites=$2; shift 2 ;;
            --at-least) need_value "$@"; at_least=$2; shift 2 ;;
            --below) need_value "$@"; below=$2; shift 2 ;;
            *) usage_error "unknown argument $1" ;;
        esac
    done
    [ $# -eq 3 ] || usage_error "it takes PACKAGE, VERSION and DIR"
    package=$1 wanted=$2 dest=$3
    project_dir=$(cd "$(dirname "$0")/.." && pwd)
    check_clone_access "$project_dir"
    step_log=${ZEFA_STEP_LOG:-$project_dir/build/debian-source.log}
    ensure mkdir -p "$(dirname "$step_log")"
}

remove_work() { rm -rf "$work"; }

# The system's own mirror for this release, read through apt's own parser, so that one-line
# sources.list and deb822 .sources files are both understood.
system_mirror() {
    local uri
    uri=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' |
        awk -v c="$codename" '$3 == "deb" && $2 == c { print $1; exit }')
    echo "${uri%/}"
}

# apt-get or apt-cache with a private configuration in the work directory. (Mirrors that serve
# a frozen snapshot of the archive have Release files past their Valid-Until date; the signature
# and the hashes are still checked.)
apt_private() {   # apt_private apt-get|apt-cache ARGUMENTS...
    local tool=$1 d=$work/apt
    shift
    "$tool" -o "Dir::Etc::SourceList=$d/sources.list" -o "Dir::Etc::SourceParts=$d/parts" \
        -o "Dir::State::Lists=$d/lists" -o "Dir::Cache=$d/cache" \
        -o "Dir::Cache::archives=$d/cache/archives" -o "Dir::Cache::pkgcache=" \
        -o "Dir::Cache::srcpkgcache=" -o "APT::Get::List-Cleanup=false" \
        -o "Acquire::Check-Valid-Until=false" "$@"
}

update_private_lists() {
    local mirror=${DEBIAN_SRC_MIRROR:-$(system_mirror)} s d=$work/apt
    local keyring=${DEBIAN_ARCHIVE_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}
    [ -n "$mirror" ] || die "no Debian mirror for $codename in apt's sources; set DEBIAN_SRC_MIRROR"
    [ -r "$keyring" ] || die "no archive keyring $keyring to verify the source index with"
    ensure mkdir -p "$d/parts" "$d/lists/partial" "$d/cache/archives/partial" "$work/src"
    for s in $suites; do
        echo "deb-src [signed-by=$keyring] $mirror $s main"
    done >"$d/sources.list"
    # As root, apt downloads as the unprivileged _apt user where it exists.
    if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
        chmod 755 "$work" "$d"
        ensure chown -R _apt "$d/lists/partial" "$d/cache/archives/partial" "$work/src"
    fi
    say "looking up $package in $suites (Debian's source index, signature checked)"
    # --error-on=any: a mirror that cannot be reached is an error, not a warning.
    run_logged apt_private apt-get update -q --error-on=any
}

offered_versions() {
    apt_private apt-cache showsrc --only-source "$package" 2>/dev/null |
        sed -n 's/^Version: //p' | sort -u
}

choose_version() {
    local versions v best=""
    versions=$(offered_versions)
    [ -n "$versions" ] || die "no source package $package in: $suites"
    if grep -qxF "$wanted" <<<"$versions"; then
        echo "$wanted"
        return 0
    fi
    [ -n "$at_least" ] || die "$package $wanted is not offered (only: $(echo $versions))"
    for v in $versions; do
        dpkg --compare-versions "$v" ge "$at_least" && dpkg --compare-versions "$v" lt "$below" ||
            continue
        if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
    done
    [ -n "$best" ] || die "no $package from $at_least and below $below is offered"
    say "warning: $package $wanted is no longer offered; taking $best"
    echo "$best"
}

# Downloads whatever the archive serves of the version's files; what is missing is judged later.
fetch_files() {
    say "fetching $package $version"
    (cd "$work/src" && apt_private apt-get source --download-only -q "$package=$version") \
        >>"$step_log" 2>&1 || say "    (not every file was served; see $step_log)"
}

# "<sha256> <file name>" for each file of the version, from the signed index.
index_checksums() {
    apt_private apt-cache showsrc --only-source "$package" 2>/dev/null |
        awk -v version="$version" 'BEGIN { RS = "" }
            index($0, "\nVersion: " version "\n") {
                n = split($0, lines, "\n"); sums = 0
                for (i = 1; i <= n; i++) {
                    if (lines[i] ~ /^Checksums-Sha256:/) { sums = 1; continue }
                    if (lines[i] !~ /^ /) sums = 0
                    if (sums) { split(lines[i], f, " "); print f[1], f[3] }
                }
            }'
}

verify_files() {
    local sums file want got
    sums=$(index_checksums)
    for file in "$work/src"/*; do
        [ -f "$file" ] || continue
        want=$(awk -v f="$(basename "$file")" '$2 == f { print $1 }' <<<"$sums")
        got=$(sha256sum "$file" | cut -d' ' -f1)
        [ -n "$want" ] && [ "$want" = "$got" ] ||
            die "$(basename "$file") has SHA-256 $got; the signed index says '$want'"
    done
}

# The .dsc with Debian's changes where the archive serves it, else the upstream tarball alone.
# (The uploader's signature on the .dsc would need debian-keyring; the signed index
# authenticates the files instead.)
unpack() {
    local dsc orig tree=$work/unpacked
    dsc=$(find "$work/src" -name '*.dsc' | head -n 1)
    orig=$(find "$work/src" -name '*.orig.tar.*' ! -name '*.asc' | head -n 1)
    if [ -n "$dsc" ]; then
        # dpkg-source copies the tarballs into the parent of its target: the work directory.
        run_logged dpkg-source --require-strong-checksums -x "$dsc" "$tree"
    elif [ -n "$orig" ]; then
        say "warning: the archive does not serve $package $version's .dsc and Debian changes;" \
            "unpacking its upstream tarball, checked against the index, without them"
        ensure mkdir -p "$tree"
        run_logged tar -C "$tree" --strip-components=1 -xf "$orig"
    else
        die "the archive serves neither the .dsc nor the upstream tarball of $package $version"
    fi
    [ -n "$(ls -A "$tree")" ] || die "$package $version unpacked to nothing"
    ensure rm -rf "$dest"
    ensure mkdir -p "$(dirname "$dest")"
    ensure mv "$tree" "$dest"
}

. "$(dirname "$0")/lib/common.sh"
main "$@"
