#!/usr/bin/env bash
# PNG and JPEG codec throughput on one picture: the kel_bench image benchmarks (ours against
# libpng's simplified API), then the JPEG library's djpeg and cjpeg on the same picture, in MB/s
# of pixels (width × height × 4 bytes a second, the measure the benchmarks report).
#   bench/image_codecs.sh [build dir]   (default build/)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${1:-$here/../build}"
work="$(mktemp -d /tmp/kel-image-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT
# the benchmarks' own picture: 1600 × 1200, a gradient with noise
python3 - "$work/picture.ppm" <<'PY'
import sys
w, h = 1600, 1200
seed = 12345
out = bytearray(b"P6\n%d %d\n255\n" % (w, h))
for y in range(h):
    for x in range(w):
        seed = (seed * 1103515245 + 12345) & 0xFFFFFFFF
        n = (seed >> 28) - 8
        for v in (x * 255 // w, y * 255 // h, (x + y) * 255 // (w + h)):
            out.append(min(255, max(0, v + n)))
open(sys.argv[1], "wb").write(out)
PY
KEL_BENCH_PPM="$work/picture.ppm" "$build/bench/kel_bench" --benchmark_filter='Image'
cjpeg -quality 90 "$work/picture.ppm" > "$work/picture.jpg"
rate() {   # runs the command n times; prints MB/s of pixels
  local n=$1; shift
  local start end
  start=$(date +%s.%N)
  for _ in $(seq "$n"); do "$@" > /dev/null; done
  end=$(date +%s.%N)
  python3 -c "print('%.1f MB/s' % (1600 * 1200 * 4 * $n / ($end - $start) / 1e6))"
}
echo "djpeg (to BMP, 20 runs): $(rate 20 djpeg -bmp "$work/picture.jpg")"
echo "cjpeg (quality 90, 20 runs): $(rate 20 cjpeg -quality 90 "$work/picture.ppm")"
