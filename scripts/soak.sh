#!/usr/bin/env bash
# Soak test: one headless server on the Linux platform streams a moving session display
# to tarvello-peer, which types, clicks, scrolls, changes the text size and reconnects
# with another size over and over. Once a minute it prints the server's resident memory,
# open descriptors, threads and the frames the peer decoded in that minute.
#
# Fails (exit 1) when the server dies, when memory, descriptors or threads grow past the
# first minute's figures by more than their slack, when a minute passes without frames,
# or when a ping goes unanswered for more than 1 s.
#
#   scripts/soak.sh --minutes N [--build-dir DIR]
#
# The build dir defaults to $BUILD_DIR or build-release, then build; a Release or
# RelWithDebInfo build of tarvello and tarvello-peer is expected there.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
MINUTES=5
BUILD="${BUILD_DIR:-}"
RUN_SECONDS=20      # one peer connection
PING_INTERVAL=0.25  # seconds between scripted pings
MAX_PING_MS=1000
RSS_SLACK_KB=16384  # plus 5 % of the first minute's figure
FD_SLACK=8
THREAD_SLACK=4

usage() {
    sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
}

while [[ $# -gt 0 ]]; do
    case "$1" in
        --minutes) MINUTES="${2:?}"; shift 2 ;;
        --build-dir) BUILD="${2:?}"; shift 2 ;;
        -h|--help) usage ;;
        *) echo "soak: unknown option $1" >&2; usage ;;
    esac
done
[[ "$MINUTES" =~ ^[1-9][0-9]*$ ]] || { echo "soak: --minutes takes a whole number above 0" >&2; exit 2; }
if [[ -z "$BUILD" ]]; then
    BUILD="$ROOT/build-release"
    [[ -x "$BUILD/tarvello" ]] || BUILD="$ROOT/build"
fi
BUILD="$(cd "$BUILD" && pwd)"
TARVELLO="$BUILD/tarvello"
PEER="$BUILD/tarvello-peer"
for exe in "$TARVELLO" "$PEER"; do
    [[ -x "$exe" ]] || { echo "soak: $exe is missing (build it first)" >&2; exit 2; }
done
command -v Xvfb >/dev/null || { echo "soak: Xvfb is not installed" >&2; exit 2; }

WORK="$(mktemp -d /tmp/tarvello-soak-XXXXXX)"
SERVER_PID=""
DRIVER_PID=""

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    # The driver first, so no peer starts after the server is gone. Each is ended by
    # its own pid: the peer runs in the driver's process group, ended as a group.
    if [[ -n "$DRIVER_PID" ]]; then
        kill -TERM -- "-$DRIVER_PID" 2>/dev/null || true
        wait "$DRIVER_PID" 2>/dev/null || true
    fi
    if [[ -n "$SERVER_PID" ]]; then
        kill -TERM "$SERVER_PID" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    if [[ $status -ne 0 && -f "$WORK/server.log" ]]; then
        echo "--- last server log lines" >&2
        tail -n 20 "$WORK/server.log" >&2 || true
        # The whole server and peer logs, to find what held a ping back.
        local kept="${WORK}-failed"
        mv "$WORK" "$kept" && echo "soak: logs kept in $kept" >&2
    fi
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Private settings and runtime directories: nothing of the user's is read or changed.
mkdir -p "$WORK/config" "$WORK/run" "$WORK/xdg"
chmod 700 "$WORK/run"
export XDG_RUNTIME_DIR="$WORK/run" XDG_CONFIG_HOME="$WORK/xdg"
CODE="$(printf '%06d' $((RANDOM % 1000000)))"
cat > "$WORK/config/settings.json" <<EOF
{"token": "$CODE", "sessionCommand": "exec '$TARVELLO' --time-probe --motion"}
EOF

# Its own session so the whole group (Xvfb, session commands) goes with it.
setsid "$TARVELLO" --headless --platform linux --config-dir "$WORK/config" \
    --control-port 0 --video-port 0 --bind 127.0.0.1 > "$WORK/server.log" 2>&1 &
SERVER_PID=$!

CONTROL_PORT="" VIDEO_PORT=""
for _ in $(seq 200); do
    CONTROL_PORT="$(sed -n 's/.*Control listening on TCP \([0-9]*\).*/\1/p' "$WORK/server.log" | head -n1)"
    VIDEO_PORT="$(sed -n 's/.*Video listening on UDP \([0-9]*\).*/\1/p' "$WORK/server.log" | head -n1)"
    [[ -n "$CONTROL_PORT" && -n "$VIDEO_PORT" ]] && break
    kill -0 "$SERVER_PID" 2>/dev/null || { echo "soak: the server did not start" >&2; exit 1; }
    sleep 0.1
done
[[ -n "$CONTROL_PORT" && -n "$VIDEO_PORT" ]] || { echo "soak: the server did not listen" >&2; exit 1; }
CODE="$(sed -n 's/.*Code: \([0-9]*\).*/\1/p' "$WORK/server.log" | head -n1)"
echo "soak: server pid $SERVER_PID, control $CONTROL_PORT, video $VIDEO_PORT, $MINUTES min"

# One connection's input: pointer, buttons, keys, wheel and text around a ping every
# PING_INTERVAL, a text-size change half-way, and quiet at the end so that every ping
# is answered before the peer leaves.
write_script() {
    local scale="$1" n i
    n=$(awk -v s="$RUN_SECONDS" -v p="$PING_INTERVAL" 'BEGIN { print int((s - 3) / p) }')
    for ((i = 1; i <= n; i++)); do
        printf 'mouseAbs %d.%02d 0.%02d\n' $((i % 2)) $((i * 7 % 100)) $((i * 13 % 100))
        printf 'button 1 1\nmouseRel 3 -2\nbutton 1 0\n'
        printf 'key %d 1\nkey %d 0\n' $((4 + i % 26)) $((4 + i % 26))
        printf 'scroll 0 %d\ntext a\n' $((i % 2 ? 30 : -30))
        [[ $i -eq $((n / 2)) ]] && printf 'uiScale %s\n' "$scale"
        printf 'ping %d\nsleep %s\n' "$i" "$PING_INTERVAL"
    done
    echo "$n" > "$WORK/pings"
}

# The phone: reconnects for ever with alternating sizes. Every line it prints is kept
# with the time it arrived ("SECONDS.MICROS line").
drive() {
    local run=0 size scale
    while :; do
        run=$((run + 1))
        if ((run % 2)); then size=720x1280 scale=1.5; else size=640x1136 scale=2; fi
        write_script "$scale" > "$WORK/script"
        "$PEER" 127.0.0.1 --code "$CODE" --control-port "$CONTROL_PORT" --video-port "$VIDEO_PORT" \
            --size "$size" --name soak --script "$WORK/script" --seconds "$RUN_SECONDS" 2>&1 |
            while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >> "$WORK/peer.log" || true
        printf '%s run-end %d\n' "$EPOCHREALTIME" "$run" >> "$WORK/peer.log"
    done
}
: > "$WORK/peer.log"
set -m
drive &
DRIVER_PID=$!
set +m

# Frames decoded and the longest wait for a pong between two times, from the peer's
# lines: a run starts at "Accepted", each "pong N" answers the scripted ping N, and a
# run that ends with pings unanswered counts as waiting from its last pong to its end.
window() {
    awk -v from="$1" -v to="$2" -v pings="$(cat "$WORK/pings" 2>/dev/null || echo 0)" '
        { t = $1 + 0 }
        $2 == "Accepted:" { last = t; got = 0; live = 1; next }
        $2 == "fps" && t >= from && t < to { frames += $3 }
        $2 == "pong" && live { if (t >= from && t < to && (t - last) * 1000 > worst) worst = (t - last) * 1000
                               last = t; got++ }
        $2 == "run-end" && live { if (got < pings && t >= from && t < to) { unanswered += pings - got
                                      if ((t - last) * 1000 > worst) worst = (t - last) * 1000 }
                                  live = 0 }
        END { printf "%d %d %d\n", frames, worst, unanswered }' "$WORK/peer.log"
}

status_of() { awk -v k="$1" '$1 == k ":" { print $2 }' "/proc/$SERVER_PID/status"; }

failed=0
base_rss="" base_fds="" base_threads=""
start="$EPOCHREALTIME"
for ((minute = 1; minute <= MINUTES; minute++)); do
    from="$EPOCHREALTIME"
    for _ in $(seq 60); do
        sleep 1
        kill -0 "$SERVER_PID" 2>/dev/null || { echo "soak: FAIL the server exited" >&2; exit 1; }
    done
    to="$EPOCHREALTIME"
    rss="$(status_of VmRSS)"
    threads="$(status_of Threads)"
    fds="$(find "/proc/$SERVER_PID/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)"
    read -r frames worst unanswered < <(window "$from" "$to")
    # The time to the first pong counts from acceptance: a whole ping interval of it is
    # the script's own pacing, not the server's.
    wait_ms=$(awk -v w="$worst" -v p="$PING_INTERVAL" 'BEGIN { w -= p * 1000; print (w < 0 ? 0 : int(w)) }')
    printf 'minute %d  rss %d kB  fds %d  threads %d  frames %d  longest-ping-wait %d ms  unanswered %d\n' \
        "$minute" "$rss" "$fds" "$threads" "$frames" "$wait_ms" "$unanswered"
    if [[ -z "$base_rss" ]]; then
        base_rss=$rss base_fds=$fds base_threads=$threads
    else
        if ((rss > base_rss + base_rss / 20 + RSS_SLACK_KB)); then
            echo "soak: FAIL memory grew from $base_rss kB to $rss kB" >&2; failed=1
        fi
        if ((fds > base_fds + FD_SLACK)); then
            echo "soak: FAIL descriptors grew from $base_fds to $fds" >&2; failed=1
        fi
        if ((threads > base_threads + THREAD_SLACK)); then
            echo "soak: FAIL threads grew from $base_threads to $threads" >&2; failed=1
        fi
        if ((frames == 0)); then
            echo "soak: FAIL no frame in minute $minute" >&2; failed=1
        fi
    fi
    if ((wait_ms > MAX_PING_MS || unanswered > 0)); then
        echo "soak: FAIL a ping waited $wait_ms ms ($unanswered unanswered)" >&2; failed=1
    fi
    ((failed)) && exit 1
done
runs=$(grep -c ' run-end ' "$WORK/peer.log" || true)
echo "soak: passed, $runs connections in $(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }') s"
