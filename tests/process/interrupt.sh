#!/bin/sh
# SIGINT ends a running kel with status 130 and nothing on stderr.
# usage: interrupt.sh KEL
#
# kel sleeps 5 s (KEL_TEST_HOOK=sleep). A background job of a non-interactive shell starts with
# SIGINT ignored, so only kel's own handler can end it early: the interrupt is sent every 0.1 s
# until the process has ended (before the handler is installed it is ignored).
kel=$1

err=$(mktemp)
trap 'rm -f "$err"' EXIT

KEL_TEST_HOOK=sleep "$kel" </dev/null >/dev/null 2>"$err" &
pid=$!

ended() {
    state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$pid/status" 2>/dev/null)
    [ -z "$state" ] || [ "$state" = "Z" ]
}

tries=0
while ! ended && [ $tries -lt 40 ]; do
    kill -INT "$pid" 2>/dev/null
    sleep 0.1
    tries=$((tries + 1))
done
if ! ended; then
    kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    echo "FAIL: kel did not end after SIGINT"
    exit 1
fi
wait "$pid"
status=$?

if [ "$status" != 130 ]; then
    echo "FAIL: exit status $status, expected 130"
    cat "$err"
    exit 1
fi
if [ -s "$err" ]; then
    echo "FAIL: stderr should be empty"
    cat "$err"
    exit 1
fi
exit 0
