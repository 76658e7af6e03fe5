#!/usr/bin/env bash
# The clipboard: without a display (clipboard-no-display.ktr), then on an X server of its own
# (Xvfb on a display number it picks itself): the round trips within one kel (clipboard.ktr), what
# kel reads from another owner (kel_clipboard_offer, which offers files given here), and what a
# second kel reads from a kel that serves the clipboard in its `wait` loop.
# Every wait here is for an event (a line on a pipe, a process ending), bounded by `read -t`.
# Usage: clipboard.sh <kel> <transcript runner> <tests/process dir> <kel_clipboard_offer>
set -u
kel=$(realpath "$1")
runner=$(realpath "$2")
here=$(realpath "$3")
offer=$(realpath "$4")
dir=$(mktemp -d /tmp/kel-clipboard.XXXXXX)
xvfb=""
cleanup() {
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

env -u DISPLAY "$runner" --kel "$kel" "$here/clipboard-no-display.ktr" || fail "without a display"

mkfifo "$dir/displayfd" || fail "no FIFO"
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$dir/displayfd" 2>"$dir/xvfb.log" &
xvfb=$!
read -r -t 60 number <"$dir/displayfd" || true
[ -n "${number:-}" ] || { cat "$dir/xvfb.log"; fail "Xvfb did not start"; }
export DISPLAY=":$number"
cd "$dir" || fail "no temporary directory"

"$runner" --kel "$kel" "$here/clipboard.ktr" || fail "transcript"

# The value kel reads while kel_clipboard_offer owns the clipboard with the given targets.
read_from_owner() {
  coproc OWNER { "$offer" "$@"; }
  local line=""
  read -r -t 60 -u "${OWNER[0]}" line || true
  [ "$line" = ready ] || fail "the owner did not start ($*)"
  printf 'read-clipboard\n' | "$kel" --cli | sed -n 's/^>> == //p'
  exec {OWNER[1]}>&-
  wait "$OWNER_PID"
}

expect_read() {
  local want=$1 got
  shift
  got=$(read_from_owner "$@")
  [ "$got" = "$want" ] || fail "reading $*: got [$got], want [$want]"
}

printf 'a\r\nb\r\n' >crlf.txt
printf 'text' >text.txt
printf '\x89PNG\r\n\x1a\n' >png.bin
printf '# a comment\r\nfile:///tmp/a%%20b/%%C3%%A9.txt\r\nhttp://example.invalid/x\r\nfile:///c\n' >list.txt

expect_read '"a^/b^/"' UTF8_STRING=crlf.txt
expect_read '"text"' image/png=png.bin UTF8_STRING=text.txt
expect_read '[%"/tmp/a b/é.txt" %/c]' text/uri-list=list.txt
expect_read 'none' application/x-unknown=text.txt
expect_read 'false' UTF8_STRING=-
expect_read 'false' text/uri-list=-

# Two kel processes: one writes and serves in its wait loop until told to stop, the other reads.
served_read() {
  local value=$1
  cat >serve.kel <<EOF
Kel []
write-clipboard $value
print "ready"
n: 0
until [wait 0.01 n: n + 1 any [n > 6000 error! <> type? try [read %stop]]]
EOF
  rm -f stop
  coproc SERVER { "$kel" serve.kel; }
  local line=""
  read -r -t 60 -u "${SERVER[0]}" line || true
  [ "$line" = ready ] || fail "the serving kel did not start"
  printf 'read-clipboard\n' | "$kel" --cli | sed -n 's/^>> == //p'
  : >stop
  wait "$SERVER_PID"
}

got=$(served_read '"from another kel^/é"')
[ "$got" = '"from another kel^/é"' ] || fail "text across processes: got [$got]"
got=$(served_read '[%"/tmp/a b/é.txt" %/x]')
[ "$got" = '[%"/tmp/a b/é.txt" %/x]' ] || fail "files across processes: got [$got]"

echo "clipboard: ok"
