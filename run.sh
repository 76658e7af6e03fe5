#!/usr/bin/env bash
# Builds kel (build/, RelWithDebInfo) and starts it with the given arguments:
#   ./run.sh              the console
#   ./run.sh script.kel   runs a script (a relative path is taken from the current directory)
# Build messages go to stderr so that the program's own output is all that reaches stdout.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$root/scripts/deps.sh"
kel_install_deps

if [ ! -f "$root/build/build.ninja" ]; then
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build "$root/build" --target kel >&2
exec "$root/build/kel" "$@"
