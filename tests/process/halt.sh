#!/bin/sh
# Ctrl-C at the console stops the evaluation of an endless loop (`forever []`, or the line given
# as second argument) with "(halted)"; the console then answers the next line and ends with status
# 0 at the end of its input. A halted evaluation leaves no child process behind, neither running
# nor a zombie. No timing is assumed: the interrupt is sent again until the console reports the
# halt (bounded number of tries). With a third argument, the interrupts start only once kel has a
# child running that command line, so that the halt reaches the evaluation while it waits on it.
# Usage: halt.sh <kel> [line [child command line]]
kel=$1
line=${2:-forever []}
child=$3
dir=$(mktemp -d)
pid=
# on a failure, kel and what it started are ended by their ids
end_all() {
    [ -n "$pid" ] || return 0
    for child in $(ps -o pid= --ppid "$pid"); do kill -KILL "$child" 2>/dev/null; done
    kill -KILL "$pid" 2>/dev/null
}
trap 'end_all; rm -rf "$dir"' EXIT
mkfifo "$dir/in"

env -u KEL_TEST_HOOK "$kel" --cli <"$dir/in" >"$dir/out" 2>"$dir/err" &
pid=$!
exec 3>"$dir/in"

# the console takes interrupts once it shows its first prompt
tries=0
while ! grep -q '>> ' "$dir/out" && [ $tries -lt 600 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
printf '%s\n' "$line" >&3

if [ -n "$child" ]; then
    tries=0
    while ! ps -o args= --ppid "$pid" | grep -qxF "$child" && [ $tries -lt 600 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    ps -o args= --ppid "$pid" | grep -qxF "$child" || { echo "FAIL: no child [$child]"; cat "$dir/out"; exit 1; }
fi

tries=0
while ! grep -q '(halted)' "$dir/out" && [ $tries -lt 600 ]; do
    kill -INT "$pid" 2>/dev/null
    sleep 0.1
    tries=$((tries + 1))
done
grep -q '(halted)' "$dir/out" || { echo "FAIL: no (halted)"; cat "$dir/out"; exit 1; }
# the halt is reported after the evaluation let go of what it started
children=$(ps -o pid=,stat=,args= --ppid "$pid")
printf '1 + 1\n' >&3
exec 3>&-
wait "$pid"
status=$?
pid=

grep -q '== 2' "$dir/out" || { echo "FAIL: the line after the halt gave no result"; cat "$dir/out"; exit 1; }
[ -z "$children" ] || { echo "FAIL: children left after the halt: $children"; exit 1; }
[ "$status" = 0 ] || { echo "FAIL: exit status $status"; cat "$dir/err"; exit 1; }
exit 0
