#!/usr/bin/env bash
# Fails if the API key the tests configure appears anywhere in the output of the last test run
# of a build directory (CTest keeps all of it, standard error included, in LastTest.log).
# Usage: scripts/check-secrets.sh <build directory>
set -euo pipefail
key=$(sed -n 's/^#define ZEFA_TEST_API_KEY "\(.*\)"$/\1/p' "$(dirname "$0")/../tests/test_support.h")
log="$1/Testing/Temporary/LastTest.log"
[ -n "$key" ] && [ -s "$log" ] || { echo "check-secrets: no key or no log ($log)" >&2; exit 2; }
if grep -n -F -- "$key" "$log" >&2; then
    echo "check-secrets: the API key appears in the test output above ($log)" >&2
    exit 1
fi
echo "check-secrets: the API key appears nowhere in $(wc -l < "$log") lines of test output"
