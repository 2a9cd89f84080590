# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced after common.sh by install-deps.sh and build-cpr.sh: the cache of cpr builds. An entry
# is <cache>/<cpr version>-<key>, the key naming the architecture and the compiler. build-cpr.sh
# writes an entry's checksum list last, so an entry whose files match it is whole and unchanged;
# and an entry is linked into a library only when nobody but this user or root could have
# written it (a cache may be named on a shared directory).

cpr_checksums=.sha256sums

# The C++ compiler cpr is built with for a Debian architecture, the one the project's builds use:
# for the machine's own, CXX or else c++, as CMake picks it (Debian's alternative for the
# default compiler); for another, Debian's cross compiler that cmake/toolchains names.
# build-cpr.sh hands it to CMake, so that the key and the build name the same compiler.
cpr_compiler() {
    if [ "$1" = "$(dpkg --print-architecture)" ]; then
        echo "${CXX:-c++}"
    else
        echo "$(gnu_type_of "$1")-g++"
    fi
}

# What a build of cpr depends on besides its version: the architecture and the compiler with its
# version (amd64-gcc12.2.0). A compiler that is not installed yet gives a key no entry has.
cpr_key() {
    local compiler banner
    compiler=$(cpr_compiler "$1")
    banner=$("$compiler" --version 2>/dev/null) || banner=""
    case "$banner" in
        "") echo "$1-none" ;;
        *clang*) echo "$1-clang$("$compiler" -dumpversion)" ;;
        *) echo "$1-gcc$("$compiler" -dumpfullversion)" ;;
    esac
}

# cpr_seal ENTRY: the checksums of every file of a finished entry (the list itself, and the
# part of it being written, aside), in a list written last.
cpr_seal() {
    (cd "$1" && find . -type f ! -name "$cpr_checksums*" -print0 | sort -z | xargs -0 sha256sum) \
        >"$1/$cpr_checksums.part" || return 1
    mv "$1/$cpr_checksums.part" "$1/$cpr_checksums"
}

# cpr_distrust ENTRY: why an entry must not be used whatever its checksums say, or nothing: its
# cache directory or something in it belongs to another user than this one or root, or others
# than its owner may write it (and so could change the entry after it was checked).
cpr_distrust() {
    local file
    file=$(untrusted_in "$(dirname "$1")" -maxdepth 0)
    [ -n "$file" ] || file=$(untrusted_in "$1")
    [ -z "$file" ] || untrusted_because "$file"
}

# untrusted_because FILE: why untrusted_in named that file.
untrusted_because() {
    if [ "$(stat -c %u "$1")" -ne "$(id -u)" ] && [ "$(stat -c %u "$1")" -ne 0 ]; then
        echo "$1 belongs to $(stat -c %U "$1"), neither you nor root"
    else
        echo "others than its owner may write $1 ($(stat -c %A "$1"))"
    fi
}

# untrusted_in PATH [FIND OPTION...]: the first file there that another user than this one or
# root owns, or that group or others may write (a symbolic link's own mode means nothing).
untrusted_in() {
    local path=$1
    shift
    find "$path" "$@" \( ! -uid "$(id -u)" ! -uid 0 -o ! -type l -perm /022 \) -print -quit \
        2>/dev/null
}

# cpr_damage ENTRY MULTIARCH: why a trusted entry cannot be used as it is (unfinished, built
# before entries were sealed, or changed since), or nothing.
cpr_damage() {
    local entry=$1 failed
    if [ ! -f "$entry/lib/$2/cmake/cpr/cprConfig.cmake" ]; then
        echo "it has no lib/$2/cmake/cpr/cprConfig.cmake"
    elif [ ! -f "$entry/$cpr_checksums" ]; then
        echo "it has no checksum list (an unfinished build, or one by an older install-deps.sh)"
    elif ! failed=$(cd "$entry" && LC_ALL=C sha256sum --quiet -c "$cpr_checksums" 2>/dev/null)
    then
        failed=${failed%%$'\n'*}
        failed=${failed%%: FAILED*}
        echo "${failed#./} differs from its checksum (or is gone)"
    fi
}
