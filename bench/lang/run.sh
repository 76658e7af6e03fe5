#!/bin/sh
# Runs the same programs in Kel, python3 and lua5.4 and prints each one's wall time and the ratios
# Kel/python3 and Kel/lua5.4. A measurement, never a test: nothing here passes or fails.
# Usage: bench/lang/run.sh [path to kel] [program names...]   (default: build/kel, all programs)
here=$(cd "$(dirname "$0")" && pwd)
kel=${1:-build/kel}
[ $# -gt 0 ] && shift
programs=${*:-startup fib loop join sort sortcmp sortskip mapint mapstr hashint hashstr money date}

now() { date +%s.%N; }
# seconds taken by a command, or "-" when it fails or its interpreter is missing
timed() {
    command -v "$1" >/dev/null 2>&1 || { echo "-"; return; }
    start=$(now)
    "$@" >/dev/null 2>&1 </dev/null || { echo "-"; return; }
    end=$(now)
    awk "BEGIN { printf \"%.3f\", $end - $start }"
}
ratio() {
    case "$1$2" in *-*) echo "-" ;; *) awk "BEGIN { printf \"%.2f\", $1 / $2 }" ;; esac
}

# the interpreter itself, not a version-manager shim in front of it
python=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null || echo python3)

printf '%-8s %10s %10s %10s %12s %12s\n' program kel python3 lua5.4 kel/python3 kel/lua
for p in $programs; do
    k=$(timed "$kel" "$here/$p.kel")
    py=$(timed "$python" "$here/$p.py")
    lu=$(timed lua5.4 "$here/$p.lua")
    printf '%-8s %10s %10s %10s %12s %12s\n' "$p" "$k" "$py" "$lu" "$(ratio "$k" "$py")" "$(ratio "$k" "$lu")"
done
