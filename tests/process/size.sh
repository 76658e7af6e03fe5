#!/bin/sh
# size?: a file's size, a file of more than 4 GiB as a float (a sparse file, so no disk is used),
# none for a directory, however it is spelled, and for a missing file; a FIFO without a writer
# answers at once. Usage: size.sh <kel>
kel=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'abc' >"$dir/small"
: >"$dir/empty"
truncate -s 4294967297 "$dir/big" || { echo "FAIL: cannot make a sparse file"; exit 1; }
mkdir "$dir/sub"
mkfifo "$dir/fifo"
cat >"$dir/size.kel" <<'EOS'
Kel []
print mold reduce [size? %small size? %empty size? %big size? %sub size? %sub/ size? %. size? %missing size? %fifo]
EOS
out=$(cd "$dir" && timeout 60 "$kel" size.kel 2>&1)
want='[3 0 4294967297.0 none none none none 0]'
[ "$out" = "$want" ] || { echo "FAIL: got [$out], expected [$want]"; exit 1; }
echo "size: ok"
