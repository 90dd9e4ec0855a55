#!/usr/bin/env bash
# Builds and runs the benchmarks (not part of the test suite). Usage: scripts/bench.sh [build-dir]
set -euo pipefail
build="${1:-build}"
cmake --build "$build" -j "$(nproc)" --target vexal_bench_conversion vexal_bench_loudness \
  vexal_bench_lossy import_bench batch_bench sync_bench ui_bench
bin="$build/bench"
echo "== conversion, 3 minutes"
"$bin/vexal_bench_conversion" --minutes 3 --repeats 3
echo
echo "== peak memory does not grow with length: the same conversions of a 60-minute file"
"$bin/vexal_bench_conversion" --minutes 60 --repeats 1 --formats wav,flac,alac,aac
echo
echo "== lossy encoders against ffmpeg with the same libraries"
"$bin/vexal_bench_lossy" 120
echo
echo "== loudness analysis, 60 minutes"
"$bin/vexal_bench_loudness" --minutes 60
echo
echo "== import of 10 000 files, and a 200-job batch"
"$bin/orchestration/import_bench"
"$bin/orchestration/batch_bench"
echo
echo "== a second --sync over an unchanged library of 10 000 files"
"$bin/orchestration/sync_bench"
echo
echo "== the window with 10 000 jobs"
if command -v xvfb-run >/dev/null; then xvfb-run -a "$bin/ui/ui_bench"; else echo "xvfb-run missing: skipped"; fi
