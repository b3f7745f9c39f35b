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
# The naming and brace rules of .clang-tidy, on every source under src/.
scripts/tidy.sh
# The alert rules operators are given must load in Prometheus.
promtool check rules docs/prometheus/rt_server-alerts.yml

# shellcheck source=scripts/private-db.sh
. scripts/private-db.sh
dbdir=$(mktemp -d /tmp/rt-test-db.XXXXXX)
trap 'private_db_stop; rm -rf "$dbdir"' EXIT
private_db_start "$dbdir"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600

# The router's threads (the database writer, the monitoring listener) meet the event loop only in
# queues, atomics and published snapshots: run the writer's suite and the router's threaded
# end-to-end cases under ThreadSanitizer as well.
tsan=${RT_TSAN_BUILD_DIR:-$root/build-tsan}
cmake -S . -B "$tsan" -DCMAKE_BUILD_TYPE=Debug -DRT_TSAN=ON >/dev/null
cmake --build "$tsan" -j "$(nproc)" --target rt_database_writer_test rt_server rt_server_e2e_test
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
"$tsan/tests/rt_server/rt_database_writer_test"
ctest --test-dir "$tsan" --output-on-failure -j "$(nproc)" --timeout 600 \
    -R 'RtServerMonitor|RtServerStop|RtServerService'
scripts/package-test.sh
scripts/fuzz.sh
