#!/usr/bin/env bash
# Builds and runs the benchmarks (not part of the test suite). Usage: scripts/bench.sh [build-dir]
set -euo pipefail
build="${1:-build}"
cmake --build "$build" -j "$(nproc)" --target vexal_bench_conversion vexal_bench_loudness
bin="$build/bench"
echo "== conversion, 3 minutes"
"$bin/vexal_bench_conversion" --minutes 3 --repeats 3
echo
echo "== peak memory does not grow with length: the same conversions of a 60-minute file"
"$bin/vexal_bench_conversion" --minutes 60 --repeats 1 --formats wav,flac,alac,aac
echo
echo "== loudness analysis, 60 minutes"
"$bin/vexal_bench_loudness" --minutes 60
