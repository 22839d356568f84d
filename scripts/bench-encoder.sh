#!/usr/bin/env bash
# Per-frame encode time of our encoder against the ffmpeg command line, same
# pictures (the test pattern at 1178x2556), same settings, same frame count.
#   scripts/bench-encoder.sh [build-dir]     (FRAMES=300 X265_FRAMES=60 REPEATS=3 by default)
set -euo pipefail
build=${1:-build-bench}
frames=${FRAMES:-300}
x265_frames=${X265_FRAMES:-60}
repeats=${REPEATS:-3}
bench="$build/encoder_bench"
[[ -x $bench ]] || { echo "no $bench; build the encoder_bench target first" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "ffmpeg not found" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The benchmark cycles through 60 distinct pictures; ffmpeg loops the same 60.
"$bench" --dump-frames 60 "$tmp/frames.nv12"

ours() {  # row frames -> "mean p50 p99" in ms
    "$bench" --frames="$2" --benchmark_filter="^Encode/$1/" --benchmark_out="$tmp/ours.json" \
        --benchmark_out_format=json >/dev/null 2>&1 || true
    python3 -c 'import json,sys
b=[x for x in json.load(open(sys.argv[1]))["benchmarks"] if not x.get("error_occurred")]
print("%.2f %.2f %.2f" % (b[0]["mean_ms"], b[0]["p50_ms"], b[0]["p99_ms"]) if b else "n/a n/a n/a")' \
        "$tmp/ours.json"
}

theirs() {  # frames, codec args... -> "mean p50 p99" in ms, from ffmpeg's own encode timing (-benchmark_all)
    local n=$1
    shift
    ffmpeg -hide_banner -nostdin -benchmark_all -f rawvideo -pix_fmt nv12 -s 1178x2556 -r 60 \
        -stream_loop -1 -i "$tmp/frames.nv12" -frames:v "$n" "$@" \
        -b:v 25M -maxrate 37.5M -bufsize 37.5M -bf 0 -g 2147483647 -flags +low_delay -f null - 2>&1 |
        awk -v n="$n" '
            # ffmpeg times each receive call; a frame is the sum of the calls after its
            # decode (the packet, then the empty EAGAIN one).
            / real decode_video/ { if (open) { print sum / 1000; ++done }; open = 0 }
            / real encode_video/ { if (!open) { open = 1; sum = 0 }; sum += $6 }
            END { if (open && done < n) print sum / 1000 }' | sort -n |
        awk '{ v[NR] = $1; s += $1 } END {
            if (NR == 0) { print "n/a n/a n/a"; exit }
            printf "%.2f %.2f %.2f\n", s / NR, v[int(0.50 * (NR - 1) + 1.5)], v[int(0.99 * (NR - 1) + 1.5)] }'
}

x264_args=(-c:v libx264 -preset ultrafast -tune zerolatency -thread_type slice -threads 0 -forced-idr 1
    -x264-params keyint=infinite:scenecut=0:bframes=0)
x265_args=(-pix_fmt yuv420p -c:v libx265 -preset ultrafast -tune zerolatency -forced-idr 1 -flags +global_header
    -x265-params keyint=-1:scenecut=0:bframes=0:open-gop=0:lookahead-slices=0:repeat-headers=0:log-level=warning)

# Other work on the machine moves single runs a lot; the runs alternate and each
# figure is the median over them.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

compare() {  # name frames ffmpeg-args...
    local name=$1 n=$2
    shift 2
    : >"$tmp/ours.txt"
    : >"$tmp/theirs.txt"
    for ((r = 0; r < repeats; ++r)); do
        ours "$name" "$n" >>"$tmp/ours.txt"
        theirs "$n" "$@" >>"$tmp/theirs.txt"
    done
    local cols=()
    for file in ours theirs; do
        for k in 1 2 3; do cols+=("$(awk -v k=$k '{ print $k }' "$tmp/$file.txt" | median)"); done
    done
    printf '%-8s %6s | %8s %8s %8s | %8s %8s %8s\n' "$name" "$n" "${cols[@]}"
}

echo "per-frame encode time in ms, 1178x2556, 25 Mb/s; median of $repeats alternating runs"
printf '%-8s %6s | %-26s | %-26s\n' "" frames "ours: mean p50 p99" "ffmpeg CLI: mean p50 p99"
compare libx264 "$frames" "${x264_args[@]}"
compare libx265 "$x265_frames" "${x265_args[@]}"
echo "(for libx265 ffmpeg converts NV12 to yuv420p in its filter graph, outside its timing; ours converts inside)"
