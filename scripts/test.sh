#!/usr/bin/env bash
# Builds the sanitizer build, starts a private MariaDB and runs every test. Exits non-zero on any
# failure; the database is stopped on every exit path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/bootstrap.sh

build=${RT_TEST_BUILD_DIR:-$root/build-test}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DRT_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

# shellcheck source=scripts/private-db.sh
. scripts/private-db.sh
dbdir=$(mktemp -d /tmp/rt-test-db.XXXXXX)
trap 'private_db_stop; rm -rf "$dbdir"' EXIT
private_db_start "$dbdir"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600
scripts/fuzz.sh
