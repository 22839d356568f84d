#!/usr/bin/env bash
# Measures glass-to-glass latency on this machine: tarvello serves its Linux platform
# on loopback, the streamed display runs the time probe with full-screen motion, and
# tarvello-peer plays the phone, reading the time off every decoded picture. Prints the
# peer's latency line (p50/p95/p99, delivered fps, Mb/s, drops) and the server's stage
# times (capture, convert, encode, send p50/p95 per 5 s of frames).
#
# Usage: scripts/measure-latency.sh [--display MODE | --compare] [--seconds S] [--size WxH]
#                                   [--refresh HZ] [--scale S] [--build DIR] [--no-build]
#                                   [--keep DIR]
#   --display MODE  what the phone shows (default private):
#                   private       the private desktop, the probe as its session command
#                   gnome-extend  a headless GNOME desktop (Mutter, PipeWire, a session bus
#                                 of its own) that gains a monitor for the phone
#                   gnome-mirror  the same desktop's 1280x720 monitor, fitted to the phone
#                   x11-mirror    an X server standing for an X11 desktop (1920x1080),
#                                 fitted to the phone
#   --compare       measure all four one after another and print them side by side
#   --seconds S     length of each measurement (default 30), after a 2 s warm-up
#   --size WxH      the phone's screen in pixels (default 1178x2556)
#   --refresh HZ    the phone's refresh rate (default 60)
#   --scale S       the text scale setting (default 2.5: 96 x 2.5 dots per inch on a
#                   display drawn at the phone's pixels)
#   --build DIR     Release build directory (default build-release)
#   --no-build      use DIR as it is
#   --keep DIR      keep the logs, the peer's output, its last picture and the settings in DIR
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=30 size=1178x2556 refresh=60 scale=2.5 build=build-release doBuild=1 keep= modes=(private)
while (($#)); do
  case $1 in
    --display)
      case ${2:-} in
        private|gnome-extend|gnome-mirror|x11-mirror) modes=("$2") ;;
        *) echo "measure-latency: --display is one of private, gnome-extend, gnome-mirror, x11-mirror" >&2; exit 2 ;;
      esac
      shift 2 ;;
    --compare) modes=(private gnome-extend gnome-mirror x11-mirror); shift ;;
    --seconds) seconds=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --refresh) refresh=$2; shift 2 ;;
    --scale) scale=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --no-build) doBuild=0; shift ;;
    --keep) keep=$2; shift 2 ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) echo "measure-latency: unknown argument $1" >&2; exit 2 ;;
  esac
done

if ((doBuild)); then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELLO_BENCH=ON >/dev/null
  ninja -C "$build" -j2 tarvello tarvello-peer >/dev/null
fi
[[ $build = /* ]] || build=$root/$build
server=$build/tarvello
peer=$build/tarvello-peer
[[ -x $server && -x $peer ]] || { echo "measure-latency: no binaries in $build" >&2; exit 2; }

need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "measure-latency: $tool is not installed (scripts/install-deps.sh)" >&2; exit 2; }
  done
}
for mode in "${modes[@]}"; do
  case $mode in
    private) command -v Xvnc >/dev/null || need Xvfb ;;
    gnome-*) need dbus-daemon pipewire wireplumber pw-cli busctl mutter Xwayland xdpyinfo pgrep ;;
    x11-mirror) need Xvfb xdpyinfo dbus-daemon ;;
  esac
done

work=$(mktemp -d /tmp/tarvello-measure-XXXXXX)
pids=()  # everything started for the current mode, in order

# Ends what was started, the last first, each with TERM and, after 3 s, KILL.
stopAll() {
  local i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill -0 "$pid" 2>/dev/null || continue
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}
cleanup() {
  stopAll
  if [[ -n $keep ]]; then mkdir -p "$keep" && cp -r "$work"/. "$keep"/; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to $1 seconds for the command after it to succeed.
waitUntil() {
  local limit=$1
  shift
  for _ in $(seq $((limit * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
fail() {
  echo "measure-latency: $*" >&2
  return 1
}

# A session of the user's own: a runtime directory, home and a session D-Bus of its own.
# Sets sessEnv, the environment of everything that runs in it.
startSessionBus() {
  local dir=$1
  mkdir -p "$dir/run" "$dir/home" "$dir/config" "$dir/state" "$dir/data"
  chmod 700 "$dir/run"
  sessEnv=(HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" PIPEWIRE_RUNTIME_DIR="$dir/run"
           XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" XDG_DATA_HOME="$dir/data"
           DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus")
  # A prefix, not a function: $! is then the program itself (env execs it), which TERM ends.
  inSession=(env -u DISPLAY -u WAYLAND_DISPLAY -u XAUTHORITY -u PIPEWIRE_REMOTE -u PULSE_SERVER
             -u XDG_SESSION_TYPE -u XDG_CURRENT_DESKTOP "${sessEnv[@]}")
  "${inSession[@]}" dbus-daemon --config-file=/usr/share/dbus-1/session.conf --nofork --nopidfile \
    --address="unix:path=$dir/bus" >"$dir/dbus.log" 2>&1 &
  pids+=($!)
  waitUntil 10 test -S "$dir/bus" || fail "the session bus did not start"
}

# A headless GNOME desktop with one 1280x720 monitor and Xwayland for the time probe.
# Sets xDisplay and xAuthority to Xwayland's.
startGnome() {
  local dir=$1 mutterPid xwayland cmdline
  startSessionBus "$dir" || return 1
  "${inSession[@]}" pipewire >"$dir/pipewire.log" 2>&1 &
  pids+=($!)
  waitUntil 10 test -S "$dir/run/pipewire-0" || fail "PipeWire did not start" || return 1
  "${inSession[@]}" wireplumber >"$dir/wireplumber.log" 2>&1 &
  pids+=($!)
  waitUntil 10 bash -c "$(printf '%q ' "${inSession[@]}" pw-cli ls Client) | grep -q '\"WirePlumber\"'" ||
    fail "WirePlumber did not start" || return 1
  "${inSession[@]}" mutter --headless --wayland --virtual-monitor 1280x720 >"$dir/mutter.log" 2>&1 &
  mutterPid=$!
  pids+=("$mutterPid")
  waitUntil 20 bash -c "test -S '$dir/run/wayland-0' &&
    $(printf '%q ' "${inSession[@]}" busctl --user status org.gnome.Mutter.RemoteDesktop) | grep -q PID=" ||
    fail "Mutter did not start (see mutter.log)" || return 1
  waitUntil 20 pgrep -P "$mutterPid" Xwayland || fail "Mutter started no Xwayland" || return 1
  xwayland=$(pgrep -P "$mutterPid" Xwayland)
  cmdline=$(tr '\0' ' ' <"/proc/$xwayland/cmdline")
  xDisplay=$(grep -o ' :[0-9]*' <<<"$cmdline" | head -1 | tr -d ' ')
  xAuthority=$(sed -n 's/.* -auth \([^ ]*\).*/\1/p' <<<"$cmdline")
  waitUntil 20 env DISPLAY="$xDisplay" XAUTHORITY="$xAuthority" xdpyinfo ||
    fail "Xwayland $xDisplay does not answer" || return 1
}

# An X server standing for the user's X11 desktop, on a session bus of its own.
startX11() {
  local dir=$1
  startSessionBus "$dir" || return 1
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -dpi 96 -nolisten tcp -noreset \
    3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
  pids+=($!)
  waitUntil 20 grep -q . "$dir/display" || fail "Xvfb did not start" || return 1
  xDisplay=:$(head -1 "$dir/display")
  xAuthority=
  waitUntil 20 env DISPLAY="$xDisplay" xdpyinfo || fail "Xvfb $xDisplay does not answer" || return 1
}

code=246810
# Runs one measurement; its logs go to $work/$mode.
measure() {
  local mode=$1
  local dir=$work/$mode serverEnv=() display=private mirror=false status=0 controlPort= videoPort=
  local sessionCommand="exec '$server' --time-probe --motion"
  mkdir -p "$dir"
  xDisplay= xAuthority= sessEnv=() inSession=()
  case $mode in
    gnome-*)
      startGnome "$dir/session" || return 1
      display=desktop
      [[ $mode = gnome-mirror ]] && mirror=true
      serverEnv=(WAYLAND_DISPLAY=wayland-0 XDG_SESSION_TYPE=wayland
                 XDG_CURRENT_DESKTOP=GNOME DISPLAY="$xDisplay" XAUTHORITY="$xAuthority") ;;
    x11-mirror)
      startX11 "$dir/session" || return 1
      display=desktop mirror=true
      serverEnv=(XDG_SESSION_TYPE=x11 DISPLAY="$xDisplay") ;;
  esac
  # On the user's desktop the probe draws on the primary monitor, where the phone's
  # monitor goes in extend mode, and the phone shows in mirror mode.
  if [[ $mode != private ]]; then
    "${inSession[@]}" "${serverEnv[@]}" "$server" --time-probe --motion >"$dir/probe.log" 2>&1 &
    pids+=($!)
    sessionCommand=
  fi

  local extra=
  [[ -n $sessionCommand ]] && extra=", \"sessionCommand\": \"$sessionCommand\""
  cat >"$dir/settings.json" <<EOF
{"token": "$code", "uiScale": $scale, "display": "$display", "mirrorMac": $mirror$extra}
EOF
  if ((${#serverEnv[@]})); then
    "${inSession[@]}" "${serverEnv[@]}" "$server" --headless --platform linux --stage-times --config-dir "$dir" \
      --bind 127.0.0.1 --control-port 0 --video-port 0 >"$dir/server.log" 2>&1 &
  else
    "$server" --headless --platform linux --stage-times --config-dir "$dir" --bind 127.0.0.1 \
      --control-port 0 --video-port 0 >"$dir/server.log" 2>&1 &
  fi
  local serverPid=$!
  pids+=("$serverPid")

  for _ in $(seq 100); do
    controlPort=$(sed -n 's/.*Control listening on TCP \([0-9]*\).*/\1/p' "$dir/server.log")
    videoPort=$(sed -n 's/.*Video listening on UDP \([0-9]*\).*/\1/p' "$dir/server.log")
    [[ -n $controlPort && -n $videoPort ]] && break
    kill -0 "$serverPid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -z $controlPort || -z $videoPort ]]; then
    echo "measure-latency: the server did not start:" >&2
    cat "$dir/server.log" >&2
    return 1
  fi

  echo "Measuring $mode for $seconds s at $size, ${refresh} Hz, scale $scale on loopback ($(nproc) cores)"
  "$peer" 127.0.0.1 --code "$code" --size "$size" --refresh "$refresh" --control-port "$controlPort" \
    --video-port "$videoPort" --warmup 2 --latency "$seconds" --save-frame "$dir/last-frame.png" --quiet \
    >"$dir/peer.txt" 2>&1 || status=$?

  # The server first, so it puts the desktop back while the desktop is still there.
  kill -TERM "$serverPid" 2>/dev/null || true
  wait "$serverPid" 2>/dev/null || true
  stopAll

  sed -n 's/.*\(Display: .*\)/\1/p; s/.*\(Encoder .*\)/\1/p; s/.*\(Capture started .*\)/\1/p' "$dir/server.log"
  sed -n 's/.*\(Stage times .*\)/\1/p' "$dir/server.log"
  grep -E '^(latency|summary) ' "$dir/peer.txt" || true
  if ((status != 0)); then
    echo "measure-latency: tarvello-peer exited with $status:" >&2
    cat "$dir/peer.txt" >&2
  fi
  return "$status"
}

# One row of the table: the peer's figures and the median over the 5 s windows of the
# server's stage-time p50s (the first window, warming up, left out when there are more).
row() {
  local dir=$work/$1 latency stages
  latency=$(grep -E '^latency ' "$dir/peer.txt" 2>/dev/null | tail -1)
  stages=$(sed -n 's/.*Stage times over [0-9]* frames, ms p50\/p95: //p' "$dir/server.log" 2>/dev/null)
  awk -v mode="$1" -v latency="$latency" -v stages="$stages" '
    function field(name,   f, n, i) {
      n = split(latency, f, " ")
      for (i = 1; i <= n; i++) if (index(f[i], name "=") == 1) return substr(f[i], length(name) + 2)
      return "-"
    }
    function median(list,   a, n, i, j, t) {
      n = split(list, a, " ")
      if (n == 0) return "-"
      for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
      return sprintf("%.2f", n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2)
    }
    BEGIN {
      lines = split(stages, l, "\n")
      for (i = (lines > 1 ? 2 : 1); i <= lines; i++) {
        k = split(l[i], parts, ", ")
        for (j = 1; j <= k; j++) { split(parts[j], nv, " "); split(nv[2], pp, "/"); p50[nv[1]] = p50[nv[1]] " " pp[1] }
      }
      printf "%-13s %7s %7s %7s %6s %7s %8s %8s %7s %6s\n", mode, field("p50_ms"), field("p95_ms"),
        field("p99_ms"), field("fps"), field("mbps"), median(p50["capture"]), median(p50["convert"]),
        median(p50["encode"]), median(p50["send"])
    }'
}

overall=0
for mode in "${modes[@]}"; do
  ((${#modes[@]} > 1)) && echo "== $mode"
  measure "$mode" || overall=1
  stopAll
done
if ((${#modes[@]} > 1)); then
  echo
  echo "Glass-to-glass at $size, ${refresh} Hz, $seconds s each (ms; server stages: median of 5 s p50s):"
  printf "%-13s %7s %7s %7s %6s %7s %8s %8s %7s %6s\n" mode p50 p95 p99 fps Mb/s capture convert encode send
  for mode in "${modes[@]}"; do row "$mode"; done
fi
exit "$overall"
