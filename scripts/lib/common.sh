# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the scripts in scripts/: progress lines of their own on standard error, and the
# output of the tools they run (apt, dpkg-source, CMake, the compiler) kept in a log that a
# failure shows. A script sets step_prefix (its lines' tag) and step_log (the log) first.

say() { printf '%s %s\n' "$step_prefix" "$*" >&2; }

die() {
    say "error: $*"
    exit 1
}

# ensure COMMAND...: a command whose failure stops the script, also where errexit is off.
ensure() { "$@" || die "failed: $*"; }

# A mistake in how the script was called: say which, and exit with status 2.
usage_error() {
    say "error: $* (see $0 --help)"
    exit 2
}

# need_value OPTION [VALUE]: an option that takes a value must be given one.
need_value() {
    case "${2:-}" in "" | -*) usage_error "$1 needs a value" ;; esac
}

# Scripts that build in the clone run as the clone's owner. Through sudo in a clone of another
# user's they refuse: build/ and .deps/ would be root's, and the next run as oneself could not
# write them (they call sudo themselves where apt needs it). Where an earlier run as root left
# such files behind, they say so instead of failing on the first write.
check_clone_access() {
    local dir
    if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$(stat -c %u "$1")" -ne 0 ]; then
        die "run as yourself ($SUDO_USER), without sudo: the script calls sudo for apt itself;" \
            "as root it would leave build/ and .deps/ to root"
    fi
    for dir in "$1/build" "$1/.deps"; do
        [ ! -e "$dir" ] || [ -w "$dir" ] ||
            die "$dir is not writable by you (it belongs to $(stat -c %U "$dir"), left by a run" \
                "as that user): remove it as that user, or run as its owner"
    done
}

# logged COMMAND...: runs a tool with its output appended to the log; its exit status.
logged() {
    printf '\n$ %s\n' "$*" >>"$step_log"
    "$@" >>"$step_log" 2>&1 </dev/null
}

# fail_with_log STATUS COMMAND: shows the end of the log and stops the script.
fail_with_log() {
    tail -n 40 "$step_log" | sed 's/^/    /' >&2
    die "exit status $1 from: $2   (the whole output: $step_log)"
}

# run_logged COMMAND...: a logged tool whose failure shows the end of the log and stops the script.
run_logged() {
    local status=0
    logged "$@" || status=$?
    [ "$status" -eq 0 ] || fail_with_log "$status" "$*"
}

# timed DESCRIPTION COMMAND...: a progress line, the command, and the seconds it took. A failure
# stops the script. (Not "COMMAND || exit": that would turn errexit off inside COMMAND.)
timed() {
    local what=$1 start=$SECONDS status
    shift
    say "$what"
    "$@"
    status=$?
    [ "$status" -eq 0 ] || exit "$status"
    say "    took $((SECONDS - start)) s"
}

# The comment at the head of the script, from its third line on, without the comment signs.
print_usage() { sed -n '3,/^[^#]/s/^# \{0,1\}//p' "$0"; }

# The multiarch triplet of a Debian architecture (x86_64-linux-gnu for amd64), and its GNU type,
# which names its cross compiler (i686-linux-gnu for i386).
multiarch_of() { dpkg-architecture -qDEB_HOST_MULTIARCH -a"$1" 2>/dev/null; }
gnu_type_of() { dpkg-architecture -qDEB_HOST_GNU_TYPE -a"$1" 2>/dev/null; }
