#!/usr/bin/env bash
# Checks the rules of .clang-tidy on the sources under src/ (their headers with them): every file,
# or only the files named. Exits non-zero on any finding.
#
#   scripts/tidy.sh [file...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=${TIDY_BUILD_DIR:-$root/build-tidy}
# Configuring is enough: clang-tidy needs the compile commands, not the objects.
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DRT_BUILD_TESTS=OFF >/dev/null

if [ $# -gt 0 ]; then
    files=("$@")
else
    mapfile -t files < <(git ls-files 'src/*.cc')
fi
run-clang-tidy -p "$build" -quiet -j "$(nproc)" "${files[@]}"
