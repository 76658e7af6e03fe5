#!/usr/bin/env bash
# Builds everything and runs every test suite; exits non-zero when any stage fails.
#   1. build/       (RelWithDebInfo): all targets, then every test (unit, process, transcripts)
#   2. build-asan/  (KEL_SANITIZE=ON, ASan + UBSan): kel and the unit test binaries, unit tests,
#      then the unit tests again with KEL_GC_STRESS=1 (every allocation collects first), where a
#      buffer address kept across an allocation shows up as a use of freed or moved memory, then
#      the console transcripts against the sanitized kel
#   3. build/ again with KEL_GC_STRESS=1: unit and transcript tests
#   4. build-fuzz/ (clang, KEL_FUZZ=ON): the fuzz targets of the lexer, the percent decoder, the
#      base decoders, the compression and binary value decoders, parse, the evaluator and the
#      image decoders, for bounded runs
# KEL_BUILD_DIR and KEL_ASAN_BUILD_DIR name other build trees than build/ and build-asan/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
. scripts/deps.sh

jobs="$(nproc)"
build="${KEL_BUILD_DIR:-build}"
asan="${KEL_ASAN_BUILD_DIR:-build-asan}"
timings=()
current=""
stage_start="$SECONDS"

on_exit() {
  local status=$? t
  echo "=== stage timings"
  for t in "${timings[@]}"; do echo "  $t"; done
  if [ "$status" -ne 0 ]; then
    echo "  $current: $((SECONDS - stage_start))s (failed)"
    echo "test.sh: stage \"$current\" failed (status $status)" >&2
  else
    echo "test.sh: all stages passed"
  fi
}
trap on_exit EXIT

stage() {
  current="$1"; shift
  echo "=== $current"
  stage_start="$SECONDS"
  "$@"
  timings+=("$current: $((SECONDS - stage_start))s")
}

# The unit test targets, named as tests/CMakeLists.txt names them.
unit_targets() {
  local src name
  for src in tests/unit/*_test.cpp; do
    [ -e "$src" ] || continue
    name="$(basename "$src" .cpp)"
    echo "kel_test_${name%_test}"
  done
}

stage "dependencies" kel_install_deps

stage "configure $build" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage "build $build" cmake --build "$build" -j "$jobs"
stage "tests" ctest --test-dir "$build" --output-on-failure -j "$jobs"

stage "configure $asan" cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SANITIZE=ON
mapfile -t asan_targets < <(unit_targets)
stage "build $asan" cmake --build "$asan" -j "$jobs" --target kel kel_transcript_runner "${asan_targets[@]}"
export UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
stage "unit tests under ASan+UBSan" \
  ctest --test-dir "$asan" -L '^unit$' --no-tests=error --output-on-failure -j "$jobs"

stage "unit tests under ASan+UBSan with KEL_GC_STRESS=1" \
  env KEL_GC_STRESS=1 ctest --test-dir "$asan" -L '^unit$' --no-tests=error --output-on-failure -j "$jobs"

stage "transcripts under ASan+UBSan" \
  ctest --test-dir "$asan" -L '^lang$' --no-tests=error --output-on-failure -j "$jobs"

stage "unit and transcript tests with KEL_GC_STRESS=1" \
  env KEL_GC_STRESS=1 ctest --test-dir "$build" -L '^(unit|lang)$' --no-tests=error --output-on-failure -j "$jobs"

fuzz="${KEL_FUZZ_BUILD_DIR:-build-fuzz}"
stage "configure $fuzz" env CC=clang CXX=clang++ \
  cmake -S . -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_FUZZ=ON -DKEL_BENCH=OFF
stage "build $fuzz" cmake --build "$fuzz" -j "$jobs" --target kel_fuzz_lexer kel_fuzz_percent kel_fuzz_base \
  kel_fuzz_lz77 kel_fuzz_inflate kel_fuzz_zlib kel_fuzz_gzip kel_fuzz_kelbin kel_fuzz_parse kel_fuzz_eval \
  kel_fuzz_image_bmp kel_fuzz_image_png kel_fuzz_image_jpeg kel_fuzz_image_gif kel_fuzz_image_tiff
stage "fuzz the lexer (25 s)" \
  tests/fuzz/run.sh "$PWD/$fuzz/tests/fuzz/kel_fuzz_lexer" 25 "$fuzz/fuzz-lexer"
stage "fuzz the percent decoder (5 s)" \
  tests/fuzz/run.sh "$PWD/$fuzz/tests/fuzz/kel_fuzz_percent" 5 "$fuzz/fuzz-percent"
stage "fuzz the base decoders (5 s)" \
  tests/fuzz/run.sh "$PWD/$fuzz/tests/fuzz/kel_fuzz_base" 5 "$fuzz/fuzz-base"
for codec in lz77 inflate zlib gzip; do
  stage "fuzz the $codec decoder (5 s)" \
    tests/fuzz/run.sh "$PWD/$fuzz/tests/fuzz/kel_fuzz_$codec" 5 "$fuzz/fuzz-$codec" "$PWD/tests/fuzz/seeds-$codec"
done
stage "fuzz the binary value decoder (5 s)" \
  tests/fuzz/run.sh "$PWD/$fuzz/tests/fuzz/kel_fuzz_kelbin" 5 "$fuzz/fuzz-kelbin" "$PWD/tests/fuzz/seeds-kelbin"
stage "fuzz parse (5 s)" \
  tests/fuzz/run.sh "$PWD/$fuzz/tests/fuzz/kel_fuzz_parse" 5 "$fuzz/fuzz-parse"
stage "fuzz the evaluator (5 s)" \
  tests/fuzz/run.sh "$PWD/$fuzz/tests/fuzz/kel_fuzz_eval" 5 "$fuzz/fuzz-eval" "$PWD/tests/fuzz/seeds-eval"
for format in bmp png jpeg gif tiff; do
  stage "fuzz the $format image decoder (5 s)" \
    tests/fuzz/run.sh "$PWD/$fuzz/tests/fuzz/kel_fuzz_image_$format" 5 "$fuzz/fuzz-image-$format" \
    "$PWD/tests/fuzz/seeds-image-$format"
done
