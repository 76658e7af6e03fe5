#!/bin/sh
# Ctrl-C at the console stops the evaluation of an endless loop (`forever []`, or the line given
# as second argument) with "(halted)"; the console then answers the next line and ends with status
# 0 at the end of its input. A halted evaluation leaves no child process behind, neither running
# nor a zombie. No timing is assumed: the interrupt is sent again until the console reports the
# halt (bounded number of tries). With a third argument, the interrupts start only once kel has a
# descendant (a child, or a child's child) running that command line, so that the halt reaches the
# evaluation while it waits on it; every descendant seen then must have ended after the halt.
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

# the descendants of kel, one "pid args" line each
descendants() {
    ps -eo pid=,ppid=,args= | awk -v root="$pid" '
        { id[NR] = $1; parent[NR] = $2; $1 = ""; $2 = ""; sub(/^ +/, ""); args[NR] = $0 }
        END {
            below[root] = 1
            do {
                more = 0
                for (i = 1; i <= NR; i++)
                    if ((parent[i] in below) && !(id[i] in below)) { below[id[i]] = 1; more = 1 }
            } while (more)
            for (i = 1; i <= NR; i++) if (id[i] != root && (id[i] in below)) print id[i], args[i]
        }'
}
started=
if [ -n "$child" ]; then
    tries=0
    while ! descendants | cut -d' ' -f2- | grep -qxF "$child" && [ $tries -lt 600 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    descendants | cut -d' ' -f2- | grep -qxF "$child" || { echo "FAIL: no child [$child]"; cat "$dir/out"; exit 1; }
    started=$(descendants | cut -d' ' -f1)
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
# a descendant that another parent took over may take a moment to go; a zombie has ended
for p in $started; do
    tries=0
    while ps -o stat= -p "$p" | grep -q '^[^Z]' && [ $tries -lt 600 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    ps -o stat= -p "$p" | grep -q '^[^Z]' && { echo "FAIL: left running after the halt: $(ps -o pid=,args= -p "$p")"; exit 1; }
done
[ "$status" = 0 ] || { echo "FAIL: exit status $status"; cat "$dir/err"; exit 1; }
exit 0
