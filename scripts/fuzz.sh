#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a bounded time on a
# scratch copy of its seed corpus under fuzz/corpus/<target>/, with fuzz/<target>.dict when there
# is one. Exits non-zero when any target crashes, leaks, hangs or trips a sanitizer; the input that
# did it is kept under build-fuzz/artifacts/<target>/ and printed in base64, so a CI log whose
# machine is gone still carries it. It replays with:
#   build-fuzz/fuzz/<target> <input>
#   base64 -d > input   (pasting the printed lines) recovers it from a log
#
#   scripts/fuzz.sh [target...]      all targets, or only those named
#   FUZZ_SECONDS=600 scripts/fuzz.sh longer runs (default 20 s per target)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}

# -O1 keeps the fuzzers fast while the build stays a Debug one, asserts included.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS=-O1 \
    -DCMAKE_CXX_FLAGS=-O1 -DRT_SANITIZE=ON -DRT_BUILD_TESTS=OFF -DRT_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target rt_fuzzers

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for dir in fuzz/corpus/*/; do
        targets+=("$(basename "$dir")")
    done
fi

scratch=$(mktemp -d /tmp/rt-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for target in "${targets[@]}"; do
    corpus=$scratch/$target
    artifacts=$build/artifacts/$target
    mkdir -p "$corpus" "$artifacts"
    cp fuzz/corpus/"$target"/* "$corpus"/
    dict=()
    if [ -f fuzz/"$target".dict ]; then
        dict=(-dict="fuzz/$target.dict")
    fi
    echo "== $target: ${seconds}s"
    if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" "$corpus" \
        >"$scratch/$target.log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|new_units_added)' "$scratch/$target.log" || true
    else
        tail -n 60 "$scratch/$target.log"
        echo "== $target FAILED; reproducer under $artifacts/"
        # The inputs this run wrote, whatever their size (libFuzzer prints only small ones).
        sed -n 's/.*Test unit written to //p' "$scratch/$target.log" | while IFS= read -r input; do
            echo "== $input ($(stat -c %s "$input") bytes), base64:"
            base64 "$input"
            echo "== end of $input"
        done
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets failed: ${failed[*]}"
    exit 1
fi
echo "fuzz targets clean: ${targets[*]}"
