# Runs the transcript runner on a fixture and checks what it reports.
#   bash check_runner.sh RUNNER FAKE_KEL STATUS EXPECT_FILE [RUNNER_ARGS...] TRANSCRIPT
# The runner must end with STATUS, and every line of EXPECT_FILE must be a whole line of its
# output; the last line of EXPECT_FILE (the summary) must be its last line.
set -uo pipefail
runner=$1 kel=$2 status=$3 expect=$4
shift 4
out="$("$runner" --kel "$kel" "$@")"
got=$?
printf '%s\n' "$out"
fail=0
if [ "$got" -ne "$status" ]; then
  echo "check: runner exit status $got, expected $status"
  fail=1
fi
while IFS= read -r line; do
  if ! grep -Fxq -- "$line" <<<"$out"; then
    echo "check: missing output line: $line"
    fail=1
  fi
done <"$expect"
if [ "$(tail -n 1 <<<"$out")" != "$(tail -n 1 "$expect")" ]; then
  echo "check: the last line is not: $(tail -n 1 "$expect")"
  fail=1
fi
exit "$fail"
