#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs the protocol fuzzer.
# Usage: scripts/fuzz.sh [seconds]    (default 60)
# Exits non-zero when the fuzzer finds a crash; the crashing input is kept in
# build-fuzz/artifacts/.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"

CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DTARVELLO_FUZZ=ON >/dev/null
ninja -C "$build" -j2 protocol_fuzz

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
corpus="$work/corpus"
artifacts="$build/artifacts"
mkdir -p "$corpus" "$artifacts"

# Seeds: golden frames and datagrams of the wire format.
seed() { printf "$2" >"$corpus/$1"; }
seed ping-frame       '\x00\x09\x21\x01\x02\x03\x04\x05\x06\x07\x08'
seed four-byte-body   '\x00\x05\x21\x00\x00\x00\x00'
seed zero-then-frame  '\x00\x00\x00\x01\x20'
seed hello-frame      '\x00\x1e\x01\x00\x00\x00\x03\x04\x9b\x09\xfc\x78\x00123456\nMy phone\n2.0'
seed refusal-frame    '\x00\x15\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00Wrong code'
seed two-frames       '\x00\x04\x10\x00\x04\x01\x00\x09\x12\x3f\x00\x00\x00\x3f\x00\x00\x00'
seed scroll-gesture   '\x00\x0a\x14\x00\x00\x00\x00\x40\x00\x00\x00\x03\x00\x07\x16\x09\x3f\x80\x00\x00\x01'
seed text-frame       '\x00\x0a\x15h\xc3\xa9\xe2\x82\xac\xed\xa0\x80'
seed registration     'PNUP\x01\x02\x03\x04'
seed video-fragment   '\x00\x00\x00\x01\x00\x00\x00\x03\x01\x02\x00\x00\x01\x02\x03\x04\x00\x00\x00\x01\x40'
seed mic-datagram     '\x00\x00\x00\x07\x00\x00\x00\x01\x00\x11\x00\x00\x00\x00\x00\x00\x01\x00\x02\x00'

log="$work/fuzz.log"
set +e
"$build/protocol_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
rc=$?
set -e

grep -E '^(Done [0-9]+ runs|stat::number_of_executed_units)' "$log" || true
if [ "$rc" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "protocol_fuzz failed (exit $rc); inputs in $artifacts" >&2
    exit "$rc"
fi
