#!/bin/sh
# Scripts named on the command line: their arguments, their header, their folder and the exit
# status. Usage: script.sh <kel>
kel=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# check <name> <expected status> <expected stdout> <script file> [args...]
check() {
    name=$1 want_status=$2 want_out=$3
    shift 3
    out=$(env -u KEL_TEST_HOOK "$kel" "$@" </dev/null 2>"$dir/err")
    status=$?
    [ "$status" = "$want_status" ] || fail "$name: exit status $status, expected $want_status"
    [ "$out" = "$want_out" ] || fail "$name: output [$out], expected [$want_out]"
}

printf 'Kel [title: "args"]\nprint system/script/args\n' >"$dir/args.kel"
check "arguments with blanks and quotes" 0 '"a b" "c\"d" "" plain e\ "f g\\"' \
    "$dir/args.kel" 'a b' 'c"d' '' plain 'e\' 'f g\'
check "no arguments" 0 '' "$dir/args.kel"
check "switches before the script are skipped" 0 'x' --cli "$dir/args.kel" x

printf 'print 1\n' >"$dir/nohdr.kel"
check "missing header" 254 '*** Error: Kel header not found!' "$dir/nohdr.kel"

printf 'some text first\nKel []\nprint 1 + 1\n' >"$dir/late.kel"
check "text before the header is ignored" 0 '2' "$dir/late.kel"

printf 'Kel []\nprint "before"\nprint no-such-word\nprint "after"\n' >"$dir/error.kel"
out=$(env -u KEL_TEST_HOOK "$kel" "$dir/error.kel" </dev/null 2>/dev/null)
status=$?
[ "$status" = 254 ] || fail "error: exit status $status, expected 254"
first=$(printf '%s\n' "$out" | sed -n 1p)
second=$(printf '%s\n' "$out" | sed -n 2p)
[ "$first" = "before" ] || fail "error: first line [$first]"
[ "$second" = "*** Script Error: no-such-word has no value" ] || fail "error: report [$second]"
printf '%s\n' "$out" | grep -qx after && fail "error: the script went on after the error"

mkdir "$dir/sub"
printf 'Kel []\nprint system/options/path\n' >"$dir/sub/folder.kel"
real=$(cd "$dir/sub" && pwd -P)
(cd / && check "a script runs in its own folder" 0 "$real/" "$dir/sub/folder.kel")

check "a missing script file" 254 "*** Access Error: cannot open: $dir/none.kel" "$dir/none.kel"

# 100,000 nested parens at the console: stack overflow, then the next line is answered. Here and
# not in a transcript: under KEL_GC_STRESS every allocation of the lexer's 100,000 blocks collects.
out=$(printf '%s\n' 's: copy "" loop 100000 [append s "("] append s "1" loop 100000 [append s ")"] do s' \
    '1 + 1' | env -u KEL_TEST_HOOK -u KEL_GC_STRESS "$kel" --cli 2>&1)
printf '%s\n' "$out" | grep -q '^>> \*\*\* Internal Error: stack overflow$' || fail "nested parens: no stack overflow"
printf '%s\n' "$out" | grep -q '== 2$' || fail "nested parens: the next line was not answered"

[ "$failures" = 0 ]
