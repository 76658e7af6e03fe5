#!/bin/sh
# CRC-32 and SHA-256 throughput of the checksum native against python3's zlib.crc32 and
# hashlib.sha256 on the same 16 MiB, with the ratio Kel/python3 (above 1: Kel is faster).
# A measurement, never a test. Usage: bench/checksum.sh [path to kel]   (default: build/kel)
here=$(cd "$(dirname "$0")" && pwd)
kel=${1:-build/kel}
python=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null || echo python3)

k=$("$kel" "$here/checksum.kel") || { echo "kel failed" >&2; exit 1; }
p=$("$python" "$here/checksum.py") || { echo "python3 failed" >&2; exit 1; }

printf '%-8s %14s %14s %12s\n' method 'kel MB/s' 'python3 MB/s' kel/python3
for m in crc32 sha256; do
    km=$(echo "$k" | awk -v m=$m '$1 == m { print $2 }')
    pm=$(echo "$p" | awk -v m=$m '$1 == m { print $2 }')
    r=$(awk "BEGIN { if ($pm > 0) printf \"%.2f\", $km / $pm; else print \"-\" }")
    printf '%-8s %14s %14s %12s\n' "$m" "$km" "$pm" "$r"
done
