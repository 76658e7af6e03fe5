#!/usr/bin/env bash
# Runs a fuzz target for a bounded time over a corpus seeded from tests/fuzz/seeds and from the
# inputs of the console transcripts (tests/lang/*.ktr, the lines after ">> ").
#   tests/fuzz/run.sh <fuzz binary> <seconds> [work dir] [seed dir]
# A seed dir given replaces both (binary formats have seeds of their own).
# Exits non-zero when the target crashes, hangs or a sanitizer reports; the input that did it is
# left in the work dir. The mutation seed is fixed (KEL_FUZZ_SEED, default 1) so that a run from a
# fresh work dir takes the same inputs in the same order each time; long searches set another seed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$(dirname "$here")")"
binary="$1"
seconds="$2"
work="${3:-$(mktemp -d)}"
mkdir -p "$work/corpus" "$work/seeds"
if [ -n "${4:-}" ]; then
  cp "$4"/* "$work/seeds/"
else
cp "$here"/seeds/* "$work/seeds/"
n=0
for ktr in "$root"/tests/lang/*.ktr; do
  [ -e "$ktr" ] || continue
  while IFS= read -r line; do
    case "$line" in
      ">> "*) n=$((n + 1)); printf '%s' "${line#>> }" > "$work/seeds/ktr-$n" ;;
    esac
  done < "$ktr"
done
fi
cd "$work"
"$binary" -seed="${KEL_FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
  corpus seeds
