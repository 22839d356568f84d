#!/usr/bin/env bash
# Measures glass-to-glass latency on this machine: tarvello serves its Linux platform
# on loopback, the session display runs the time probe with full-screen motion, and
# tarvello-peer plays the phone, reading the time off every decoded picture. Prints the
# peer's latency line (p50/p95/p99, delivered fps, Mb/s, drops) and the server's stage
# times (capture, convert, encode, send p50/p95 per 5 s of frames).
#
# Usage: scripts/measure-latency.sh [--seconds S] [--size WxH] [--refresh HZ]
#                                   [--scale S] [--build DIR] [--no-build] [--keep DIR]
#   --seconds S   length of the measurement (default 30), after a 2 s warm-up
#   --size WxH    the phone's screen in pixels (default 1178x2556)
#   --refresh HZ  the phone's refresh rate (default 60)
#   --scale S     the text scale setting (default 2.5: 96 x 2.5 dots per inch on a
#                 display drawn at the phone's pixels)
#   --build DIR   Release build directory (default build-release)
#   --no-build    use DIR as it is
#   --keep DIR    keep the server log, the peer's output and the settings in DIR
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=30 size=1178x2556 refresh=60 scale=2.5 build=build-release doBuild=1 keep=
while (($#)); do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --refresh) refresh=$2; shift 2 ;;
    --scale) scale=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --no-build) doBuild=0; shift ;;
    --keep) keep=$2; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "measure-latency: unknown argument $1" >&2; exit 2 ;;
  esac
done

if ((doBuild)); then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELLO_BENCH=ON >/dev/null
  ninja -C "$build" -j2 tarvello tarvello-peer >/dev/null
fi
server=$root/$build/tarvello
peer=$root/$build/tarvello-peer
[[ -x $server && -x $peer ]] || { echo "measure-latency: no binaries in $build" >&2; exit 2; }
command -v Xvnc >/dev/null || command -v Xvfb >/dev/null ||
  { echo "measure-latency: neither Xvnc nor Xvfb is installed" >&2; exit 2; }

work=$(mktemp -d /tmp/tarvello-measure-XXXXXX)
serverPid=
cleanup() {
  if [[ -n $serverPid ]] && kill -0 "$serverPid" 2>/dev/null; then
    kill -TERM "$serverPid" 2>/dev/null || true
    wait "$serverPid" 2>/dev/null || true
  fi
  if [[ -n $keep ]]; then mkdir -p "$keep" && cp -r "$work"/. "$keep"/; fi
  rm -rf "$work"
}
trap cleanup EXIT

code=246810
cat >"$work/settings.json" <<EOF
{"token": "$code", "uiScale": $scale, "sessionCommand": "exec '$server' --time-probe --motion"}
EOF

"$server" --headless --platform linux --stage-times --config-dir "$work" --bind 127.0.0.1 \
  --control-port 0 --video-port 0 >"$work/server.log" 2>&1 &
serverPid=$!

controlPort= videoPort=
for _ in $(seq 100); do
  controlPort=$(sed -n 's/.*Control listening on TCP \([0-9]*\).*/\1/p' "$work/server.log")
  videoPort=$(sed -n 's/.*Video listening on UDP \([0-9]*\).*/\1/p' "$work/server.log")
  [[ -n $controlPort && -n $videoPort ]] && break
  kill -0 "$serverPid" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $controlPort || -z $videoPort ]]; then
  echo "measure-latency: the server did not start:" >&2
  cat "$work/server.log" >&2
  exit 1
fi

echo "Measuring $seconds s at $size, ${refresh} Hz, scale $scale on loopback ($(nproc) cores)"
status=0
"$peer" 127.0.0.1 --code "$code" --size "$size" --refresh "$refresh" --control-port "$controlPort" \
  --video-port "$videoPort" --warmup 2 --latency "$seconds" --quiet >"$work/peer.txt" 2>&1 || status=$?

kill -TERM "$serverPid" 2>/dev/null || true
wait "$serverPid" 2>/dev/null || true
serverPid=

sed -n 's/.*\(Encoder .*\)/\1/p; s/.*\(Capture started .*\)/\1/p' "$work/server.log"
sed -n 's/.*\(Stage times .*\)/\1/p' "$work/server.log"
grep -E '^(latency|summary) ' "$work/peer.txt" || true
if ((status != 0)); then
  echo "measure-latency: tarvello-peer exited with $status:" >&2
  cat "$work/peer.txt" >&2
fi
exit "$status"
