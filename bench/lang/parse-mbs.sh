#!/bin/sh
# PARSE throughput beside python3's re on the same data: splitting 10 MiB of CSV-like lines into
# rows of fields (collect/keep), and counting the words of 10 MiB of text (bitsets and
# case-insensitive alternatives). Each program times its own matching and prints MB/s; this prints
# both and the ratio Kel/python3 (above 1: Kel is faster). A measurement, never a test.
# Usage: bench/lang/parse-mbs.sh [path to kel]   (default: build/kel)
here=$(cd "$(dirname "$0")" && pwd)
kel=${1:-build/kel}
python=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null || echo python3)
mbs() { "$@" 2>/dev/null | awk '{ print $NF }'; }
printf '%-10s %12s %12s %12s\n' program kel-MB/s python3-MB/s kel/python3
for p in parsecsv parsewords; do
    k=$(mbs "$kel" "$here/$p.kel")
    py=$(mbs "$python" "$here/$p.py")
    r=$(awk "BEGIN { if ($py > 0) printf \"%.2f\", $k / $py; else print \"-\" }")
    printf '%-10s %12.1f %12.1f %12s\n' "$p" "$k" "$py" "$r"
done
