#!/bin/sh
# Files and directories: runs the transcript files.ktr in a temporary directory that holds its
# fixtures (CR LF text, FIFOs fed by background writers, a sparse file, a file with a hard link and
# a narrow mode, directories to list and delete), then checks what the transcript's writes left
# on disk. Everything is written inside that directory, which is removed at the end.
# Usage: files.sh <kel> <transcript runner> <files.ktr>
kel=$(realpath "$1")
runner=$(realpath "$2")
ktr=$(realpath "$3")
dir=$(mktemp -d)
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null; done
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

cd "$dir" || fail "no temporary directory"
umask 022
printf 'a\r\nb\r\n' >crlf.txt
printf 'a\n\nb' >lflf.txt
printf 'a\n' >trail.txt
: >empty.txt
cp /proc/version version.copy
truncate -s 3G big.bin || fail "cannot make a sparse file"
touch -d '2020-01-02 03:04:05.678 UTC' stamp.txt
mkdir -p tree/sub gone-dir
: >tree/f
: >gone-file
printf 'old' >kept.txt
chmod 600 kept.txt
ln kept.txt kept-link
# FIFOs: each writer blocks until the transcript's case opens the FIFO for reading.
mkfifo text.fifo big.fifo || fail "cannot make FIFOs"
(printf 'from a pipe\r\nline 2\n' >text.fifo) &
pids="$pids $!"
(head -c 200000 /dev/zero | tr '\0' 'x' >big.fifo) &
pids="$pids $!"

"$runner" --kel "$kel" "$ktr" || fail "transcript"

[ "$(stat -c %a kept.txt)" = 600 ] || fail "mode of a rewritten file: $(stat -c %a kept.txt)"
[ "$(stat -c %h kept.txt)" = 2 ] || fail "link count of a rewritten file: $(stat -c %h kept.txt)"
[ "$(cat kept-link)" = new ] || fail "the hard link does not see the rewrite: $(cat kept-link)"
[ "$(stat -c %a made.txt)" = 644 ] || fail "mode of a new file: $(stat -c %a made.txt)"
[ ! -e gone-dir ] && [ ! -e gone-file ] || fail "deleted entries remain"
echo "files: ok"
