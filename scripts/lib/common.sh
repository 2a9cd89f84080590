# SPDX-License-Identifier: MIT
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

# run_logged COMMAND...: runs a tool with its output appended to the log; when it fails, shows
# the end of the log and stops the script.
run_logged() {
    local status=0
    printf '\n$ %s\n' "$*" >>"$step_log"
    "$@" >>"$step_log" 2>&1 </dev/null || status=$?
    [ "$status" -eq 0 ] && return 0
    tail -n 40 "$step_log" | sed 's/^/    /' >&2
    die "exit status $status from: $*   (the whole output: $step_log)"
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

# The multiarch triplet of a Debian architecture (x86_64-linux-gnu for amd64).
multiarch_of() { dpkg-architecture -qDEB_HOST_MULTIARCH -a"$1" 2>/dev/null; }
