#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# build-cpr.sh - builds cpr from Debian's source package for one Debian architecture into a
# directory of the cache, and prints that directory.
#
#   scripts/build-cpr.sh ARCH CACHE_DIR
#
# Takes the source of CPR_VERSION (default 1.12.0-1; when that is gone, the newest 1.x from 1.10
# on) from Debian's unstable or testing (CPR_SRC_SUITES, default "sid testing"), through
# scripts/debian-source.sh, which checks it against the signed index. Builds a static,
# position-independent library with hidden symbols (the engine links it in: the engine then
# needs only Debian's libcurl at run time and cannot clash with a host's own cpr), for another
# architecture than the machine's with cmake/toolchains/<multiarch>.cmake, with the compiler its
# key names (CXX or g++; Debian's cross compiler for another architecture), and installs it into
# CACHE_DIR/<cpr version>-<architecture>-<compiler> (scripts/lib/cpr-cache.sh), writable by its
# owner only, sealed with the checksums of its files, in place of a damaged entry of that name.
# Progress lines go to standard error, the tools' output to $ZEFA_STEP_LOG (install-deps.sh's
# log) or build/build-cpr.log. Environment: CPR_VERSION, CPR_SRC_SUITES, CXX, JOBS.
set -euo pipefail

main() {
    read_arguments "$@"
    work=$(mktemp -d "${TMPDIR:-/tmp}/build-cpr.XXXXXX") || die "no temporary directory"
    part=""   # the entry being installed, until it is moved into place
    trap 'rm -rf "$work" ${part:+"$part"}' EXIT
    version=$(fetch_source) || exit
    entry=$cache_dir/$version-$(cpr_key "$arch")
    build
    install_into_entry
    echo "$entry"
}

read_arguments() {
    case "${1:-}" in -h | --help) print_usage; exit 0 ;; esac
    step_prefix="[deps]"
    [ $# -eq 2 ] || usage_error "it takes ARCH and CACHE_DIR"
    arch=$1 cache_dir=$2
    project_dir=$(cd "$(dirname "$0")/.." && pwd)
    check_clone_access "$project_dir"
    multiarch=$(multiarch_of "$arch") || die "unknown Debian architecture $arch"
    step_log=${ZEFA_STEP_LOG:-$project_dir/build/build-cpr.log}
    # An entry others may write could not be trusted (cpr_distrust).
    umask 022
    ensure mkdir -p "$(dirname "$step_log")" "$cache_dir"
}

fetch_source() {
    ZEFA_STEP_LOG=$step_log "$project_dir/scripts/debian-source.sh" \
        --suites "${CPR_SRC_SUITES:-sid testing}" --at-least 1.10 --below 2 \
        cpr "${CPR_VERSION:-1.12.0-1}" "$work/source"
}

build() {
    local toolchain=()
    if [ "$arch" != "$(dpkg --print-architecture)" ]; then
        toolchain=(-DCMAKE_TOOLCHAIN_FILE="$project_dir/cmake/toolchains/$multiarch.cmake")
    fi
    say "building cpr $version for $arch"
    run_logged cmake -S "$work/source" -B "$work/build" "${toolchain[@]}" \
        -DCMAKE_CXX_COMPILER="$(cpr_compiler "$arch")" \
        -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=OFF \
        -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DCMAKE_CXX_VISIBILITY_PRESET=hidden \
        -DCMAKE_VISIBILITY_INLINES_HIDDEN=ON \
        -DCPR_USE_SYSTEM_CURL=ON \
        -DCPR_BUILD_TESTS=OFF \
        -DCMAKE_INSTALL_PREFIX="$entry" \
        -DCMAKE_INSTALL_LIBDIR="lib/$multiarch"
    run_logged cmake --build "$work/build" -j "${JOBS:-$(nproc)}"
}

# Installed next to the entry, sealed, and moved into place whole, so that an entry is either
# complete or absent, also when the build is interrupted; a damaged entry it replaces is moved
# aside first, so that clones linking it find one or the other. (cpr's CMake files find their
# prefix from their own place, so the installed tree may move.)
install_into_entry() {
    local old=$entry.old.$$
    part=$entry.part.$$
    ensure rm -rf "$part" "$old"
    run_logged cmake --install "$work/build" --prefix "$part"
    write_pkg_config_file "$part/lib/$multiarch/pkgconfig/cpr.pc"
    ensure cpr_seal "$part"
    [ ! -e "$entry" ] || ensure mv "$entry" "$old"
    ensure mv "$part" "$entry"
    part=""
    ensure rm -rf "$old"
}

# cpr ships no pkg-config file; one lets builds without CMake find it too.
write_pkg_config_file() {
    ensure mkdir -p "$(dirname "$1")"
    cat >"$1" <<EOF
prefix=$entry
libdir=\${prefix}/lib/$multiarch
includedir=\${prefix}/include

Name: cpr
Description: C++ Requests: Curl for People (built from the Debian source package $version)
Version: ${version%%-*}
Requires: libcurl
Libs: -L\${libdir} -lcpr
Cflags: -I\${includedir}
EOF
}

. "$(dirname "$0")/lib/common.sh"
. "$(dirname "$0")/lib/cpr-cache.sh"
main "$@"
