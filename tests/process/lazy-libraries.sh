#!/bin/sh
# Libraries opened on first use, when they cannot be opened: the clipboard answers false and HTTP
# gives no-connect, each library's failure is reported once on stderr, and the script goes on to
# its end. Empty files under the libraries' sonames, found first through LD_LIBRARY_PATH, stand
# in for broken libraries. Usage: lazy-libraries.sh <kel> <GUI toolkit soname> <libcurl soname>
kel=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
: >"$dir/$2"
: >"$dir/$3"
printf '%s\n' 'Kel []' 'print read-clipboard' 'print read-clipboard' \
    'loop 2 [e: try [read http://127.0.0.1:9/] print e/id]' 'print "end"' >"$dir/t.kel"
out=$(env -u KEL_TEST_HOOK LD_LIBRARY_PATH="$dir" DISPLAY=:0 "$kel" "$dir/t.kel" </dev/null 2>"$dir/err")
status=$?
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
[ "$status" = 0 ] || fail "exit status $status, expected 0"
want=$(printf 'false\nfalse\nno-connect\nno-connect\nend')
[ "$out" = "$want" ] || fail "output [$out], expected [$want]"
for lib in "$2" "$3"; do
    n=$(grep -c "^\*\*\* Cannot load $lib: .*file too short" "$dir/err")
    [ "$n" = 1 ] || fail "$n reports of $lib on stderr, expected 1: $(cat "$dir/err")"
done
[ "$(wc -l <"$dir/err")" = 2 ] || fail "stderr: $(cat "$dir/err")"
[ "$failures" = 0 ] && echo "lazy libraries: all passed"
exit "$failures"
