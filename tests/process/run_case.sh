#!/bin/sh
# Runs kel once and checks how it ended.
# usage: run_case.sh KEL HOOK STATUS REPORT [ARG...]
#   HOOK    value of KEL_TEST_HOOK, "-" to leave it unset
#   STATUS  the expected exit status
#   REPORT  the expected text of "*** Runtime Error STATUS: REPORT", "-" when stderr must be empty
kel=$1 hook=$2 want_status=$3 want_report=$4
shift 4

err=$(mktemp)
trap 'rm -f "$err"' EXIT

if [ "$hook" = "-" ]; then
    env -u KEL_TEST_HOOK "$kel" "$@" </dev/null >/dev/null 2>"$err"
else
    KEL_TEST_HOOK=$hook "$kel" "$@" </dev/null >/dev/null 2>"$err"
fi
status=$?

fail() {
    echo "FAIL: $*"
    echo "--- stderr:"
    cat "$err"
    exit 1
}

[ "$status" = "$want_status" ] || fail "exit status $status, expected $want_status"

if [ "$want_report" = "-" ]; then
    [ ! -s "$err" ] || fail "stderr should be empty"
    exit 0
fi

[ "$(wc -l <"$err")" -eq 2 ] || fail "the report should be two lines"
line1=$(sed -n 1p "$err")
line2=$(sed -n 2p "$err")
[ "$line1" = "*** Runtime Error $want_status: $want_report" ] || fail "unexpected first line: $line1"
printf '%s\n' "$line2" | grep -Eq '^\*\*\* at: [0-9A-F]{8,16}h$' || fail "unexpected second line: $line2"
exit 0
