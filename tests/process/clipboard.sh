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
  printf '%s\n' "${expr:-read-clipboard}" | "$kel" --cli | sed -n 's/^>> == //p'
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
printf '\x89PNG\r\n\x1a\n' >bad.png
# Encoded pictures: a 2x1 PNG, red opaque and blue at alpha 128; a 1x1 GIF, red; an 8x8 grey
# JPEG; a 1x1 24-bit BMP, 10.20.30 (for GTK's own loaders).
python3 - <<'PY' || fail "no PNG fixture"
import struct, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
rows = b"\0" + bytes([255, 0, 0, 255, 0, 0, 255, 128])
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 2, 1, 8, 6, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
open("pic.png", "wb").write(png)
PY
printf 'GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\xff\xff\xff,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;' >pic.gif
{ printf 'P5\n8 8\n255\n'; head -c 64 /dev/zero | tr '\0' '\200'; } | cjpeg -grayscale >pic.jpg || fail "no JPEG fixture"
printf 'BM\x3a\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00\x01\x00\x00\x00\x01\x00\x00\x00\x01\x00\x18\x00\x00\x00\x00\x00\x04\x00\x00\x00\x13\x0b\x00\x00\x13\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x1e\x14\x0a\x00' >pic.bmp
printf '# a comment\r\nfile:///tmp/a%%20b/%%C3%%A9.txt\r\nhttp://example.invalid/x\r\nfile:///c\n' >list.txt

expect_read '"a^/b^/"' UTF8_STRING=crlf.txt
expect_read '"text"' image/png=pic.png UTF8_STRING=text.txt
expect_read '[%"/tmp/a b/é.txt" %/c]' text/uri-list=list.txt
expect_read 'none' application/x-unknown=text.txt
expect_read 'false' UTF8_STRING=-
expect_read 'false' text/uri-list=-
expect_read 'false' image/png=-

# Images: PNG first, then JPEG, then GIF; bytes that do not decode give way to the next format;
# then whatever GTK's loaders read.
expr='i: read-clipboard reduce [i/size i/1 i/2]'
expect_read '[2x1 255.0.0.0 0.0.255.127]' image/gif=pic.gif image/jpeg=pic.jpg image/png=pic.png
expect_read '[1x1 255.0.0.0 none]' image/png=bad.png image/gif=pic.gif
expect_read '[1x1 10.20.30.0 none]' image/bmp=pic.bmp
expr='i: read-clipboard reduce [i/size i/1/1 i/64/1]'
expect_read '[8x8 128 128]' image/gif=bad.png image/jpeg=pic.jpg
expr=''
expect_read 'none' image/png=bad.png

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
  printf '%s\n' "${expr:-read-clipboard}" | "$kel" --cli | sed -n 's/^>> == //p'
  : >stop
  wait "$SERVER_PID"
}

got=$(served_read '"from another kel^/é"')
[ "$got" = '"from another kel^/é"' ] || fail "text across processes: got [$got]"
got=$(served_read '[%"/tmp/a b/é.txt" %/x]')
[ "$got" = '[%"/tmp/a b/é.txt" %/x]' ] || fail "files across processes: got [$got]"
got=$(expr='i: read-clipboard reduce [i/size i/1 i/2]' served_read 'make image! [2x1 #{FF000000FF00} #{0080}]')
[ "$got" = '[2x1 255.0.0.0 0.255.0.128]' ] || fail "an image across processes: got [$got]"

echo "clipboard: ok"
