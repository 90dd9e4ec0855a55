#!/usr/bin/env bash
# `make bench`: one table of Vexal against ffmpeg, measured side by side in one run, as a
# Markdown table ready for docs/performance.md. Not part of the test suite.
# Usage: scripts/bench.sh [build-dir]   (MINUTES=3 REPEATS=3 by default; ONLY=row_function
# prints that one row function's rows, e.g. ONLY=replaygain_rows)
#
# A row is one line in `conversions` (whole processes: vexal-cli against ffmpeg's default,
# threaded run, on the same source), or a function in `extra_rows` that prints
# "| name | vexal s | reference s | ratio | ... |" itself.
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
minutes="${MINUTES:-3}"
repeats="${REPEATS:-3}"
cmake --build "$build" -j "$(nproc)" --target vexal-cli vexal_bench_loudness vexal_bench_cue_split batch_bench sync_bench >/dev/null
cli="$build/src/app/vexal-cli"
bench="$build/bench"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=offscreen

# name | vexal-cli options | ffmpeg codec options (the same encoder settings) | extension
conversions=(
  "FLAC 24-bit|--format flac|-c:a flac -sample_fmt s32|flac"
  "ALAC|--format alac|-c:a alac -sample_fmt s16p|m4a"
  "AAC 256k|--format aac --bitrate 256|-c:a aac -b:a 256k|m4a"
  "MP3 CBR 320|--format mp3 --mp3-mode cbr --bitrate 320|-c:a libmp3lame -b:a 320k -compression_level 2|mp3"
  "Opus 128k|--format opus --bitrate 128|-c:a libopus -b:a 128k|opus"
  "Vorbis 192k|--format vorbis --bitrate 192|-c:a libvorbis -b:a 192k|ogg"
  "WAV 24-bit|--format wav|-c:a pcm_s24le|wav"
)
extra_rows=(batch_row loudness_row cue_split_rows sync_row replaygain_rows)

# Runs a command under GNU time; appends "wall cpu peak-MiB" to the file $1.
measure() {
  local into="$1"; shift
  /usr/bin/time -f "%e %U %S %M" -o "$scratch/time" "$@" >/dev/null 2>"$scratch/err" ||
    { cat "$scratch/err" >&2; return 1; }
  awk '{ printf "%.3f %.3f %.1f\n", $1, $2 + $3, $4 / 1024 }' "$scratch/time" >>"$into"
}

# Median of column $2 of file $1.
median() { awk -v c="$2" '{ print $c }' "$1" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

conversion_row() {
  IFS='|' read -r name ours theirs extension <<<"$1"
  rm -f "$scratch/vexal" "$scratch/ffmpeg"
  for ((r = 0; r < repeats; r++)); do
    rm -rf "$scratch/out" && mkdir -p "$scratch/out"
    # shellcheck disable=SC2086
    measure "$scratch/vexal" "$cli" --quiet --no-metadata $ours --output "$scratch/out" "$source"
    # shellcheck disable=SC2086
    measure "$scratch/ffmpeg" ffmpeg -nostdin -v error -y -i "$source" $theirs "$scratch/out/ffmpeg.$extension"
  done
  local vw fw vc fc
  vw=$(median "$scratch/vexal" 1) fw=$(median "$scratch/ffmpeg" 1)
  vc=$(median "$scratch/vexal" 2) fc=$(median "$scratch/ffmpeg" 2)
  awk -v n="$name" -v vw="$vw" -v fw="$fw" -v vc="$vc" -v fc="$fc" -v vm="$(median "$scratch/vexal" 3)" \
    'BEGIN { printf "| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.0f |\n", n, vw, fw, vw / fw, vc, fc, vc / fc, vm }'
}

# A full batch (one job per core) against the ideal: the conversions' own CPU time
# spread over the cores.
batch_row() {
  rm -f "$scratch/batch.time"
  /usr/bin/time -f "%e %U %S" -o "$scratch/batch.time" "$bench/orchestration/batch_bench" 200 2 flac >"$scratch/batch"
  awk 'FNR == NR { cpu = $2 + $3; next }
       FNR == 1 { for (i = 1; i <= NF; i++) { if ($i == "cores:") cores = $(i - 1); if ($i == "wall") wall = $(i + 1) } }
       /CPU times/ { for (i = 1; i <= NF; i++) if ($i == "/cores") ideal = $(i + 1) }
       END { printf "| batch: 200 × 2 s FLAC on %s cores vs ideal | %.2f | %.2f | %.2f | %.2f | | | |\n", cores, wall, ideal, wall / ideal, cpu }' \
    "$scratch/batch.time" "$scratch/batch"
}

# Integrated loudness and true peak of a 60-minute file against libebur128 fed by the same
# decoder.
loudness_row() {
  "$bench/vexal_bench_loudness" --minutes 60 >"$scratch/loudness"
  awk '/^vexal analyzeLoudness/ { ours = $3 } /^libebur128/ { ref = $4 }
       /^peak RSS/ { peak = $5 }
       END { printf "| loudness + true peak 60 min vs libebur128 | %.2f | %.2f | %.2f | | | | %.0f |\n", ours, ref, ours / ref, peak }' \
    "$scratch/loudness"
}

# An MP3 image split into 15 cue tracks against converting it whole (CPU time, in one
# process): a track deep in the image must not decode the image from its start.
cue_split_rows() {
  "$bench/vexal_bench_cue_split" --minutes 20 --tracks 15 >"$scratch/cue"
  awk '$1 == "FLAC" || $1 == "MP3" {
         printf "| cue: 20-min MP3 image, 15 tracks to %s vs whole | | | | %.2f | %.2f | %.2f | |\n", $1, $3, $2, $4 }' \
    "$scratch/cue"
}

# A second `--sync` over an unchanged library of 10 000 files: nothing to convert.
sync_row() {
  "$bench/orchestration/sync_bench" 10000 100 "$cli" >"$scratch/sync"
  awk '/^second run/ { for (i = 1; i <= NF; i++) { if ($i == "wall") wall = $(i + 1); if ($i == "CPU") cpu = $(i + 1) } }
       END { printf "| second --sync, 10 000 unchanged files (goal < 3 s) | %.2f | | | %.2f | | | |\n", wall, cpu }' \
    "$scratch/sync"
}

# What measuring lossy outputs for ReplayGain costs (one decode of the finished file, which
# --verify then reuses): each lossy format with --replaygain against the same without it,
# then both with --verify.
replaygain_rows() {
  local row name ours extra
  for row in "MP3|--format mp3" "AAC|--format aac" "Opus|--format opus" "Vorbis|--format vorbis"; do
    IFS='|' read -r name ours <<<"$row"
    for extra in "" "--verify"; do
      rm -f "$scratch/with" "$scratch/without"
      for ((r = 0; r < repeats; r++)); do
        for side in without with; do
          rm -rf "$scratch/out" && mkdir -p "$scratch/out"
          # shellcheck disable=SC2086
          measure "$scratch/$side" "$cli" --quiet --no-metadata $ours $extra \
            $([ "$side" = with ] && echo --replaygain) --output "$scratch/out" "$source"
        done
      done
      awk -v n="$name${extra:+ $extra}" -v ww="$(median "$scratch/with" 1)" -v wo="$(median "$scratch/without" 1)" \
        -v cw="$(median "$scratch/with" 2)" -v co="$(median "$scratch/without" 2)" \
        'BEGIN { printf "| --replaygain vs without: %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | |\n", n, ww, wo, ww / wo, cw, co, cw / co }'
    done
  done
}

source="$scratch/source.flac"
# Music-like: two chords, a sweep and a little noise, 44.1 kHz stereo 16-bit.
ffmpeg -nostdin -v error -f lavfi -i "aevalsrc=exprs=0.2*sin(2*PI*220*t)+0.15*sin(2*PI*277.2*t)+0.1*sin(2*PI*(300+200*sin(PI*t))*4*t)+0.08*(2*random(0)-1)|0.2*sin(2*PI*220*t+1)+0.15*sin(2*PI*329.6*t)+0.08*(2*random(1)-1):s=44100:d=$((minutes * 60))" \
  -c:a flac -sample_fmt s16 "$source"

if [ -n "${ONLY:-}" ]; then
  "$ONLY"
  exit 0
fi
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
  "load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo "Conversions: a ${minutes}-minute 44.1 kHz stereo 16-bit FLAC, whole processes, median of $repeats;" \
  "ratio = Vexal / reference (below 1: Vexal is faster); peak MiB is Vexal's."
echo
echo "| row | Vexal s | ffmpeg / ideal / ref. s | ratio | Vexal CPU s | ffmpeg CPU s | CPU ratio | peak MiB |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
for row in "${conversions[@]}"; do conversion_row "$row"; done
for row in "${extra_rows[@]}"; do "$row"; done
