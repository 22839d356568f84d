#!/usr/bin/env bash
# Checks the installation and the Debian package made from BUILD_DIR:
#  1. `cmake --install` into a scratch DESTDIR holds the programs, man pages, desktop
#     entry, icons and user units, and those files are well-formed;
#  2. the .deb depends on the libraries the programs link and the programs the code
#     starts, and holds exactly what the installation holds;
#  3. as root: `dpkg -i`, the installed `tarvello --version` and a short headless
#     session of the installed `tarvello` with the installed `tarvello-peer`, then
#     `dpkg --purge` and nothing of the package left. Without root the session runs
#     from the DESTDIR tree and the dpkg steps are skipped, saying so.
#
#   scripts/package-test.sh BUILD_DIR
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
[[ $# -eq 1 ]] || { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
BUILD="$(cd "$1" && pwd)"

WORK="$(mktemp -d /tmp/tarvello-package-test-XXXXXX)"
SERVER_PID=""
INSTALLED=0
failures=0

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    if [[ -n "$SERVER_PID" ]]; then
        kill -TERM "$SERVER_PID" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
        kill -KILL -- "-$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    # A failure half-way must not leave the package on the machine.
    if ((INSTALLED)); then dpkg --purge tarvello >/dev/null 2>&1 || true; fi
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "package-test: FAIL $*" >&2
    failures=$((failures + 1))
}
pass() { echo "package-test: ok   $*"; }
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
finish_stage() { ((failures == 0)) || { echo "package-test: $failures check(s) failed" >&2; exit 1; }; }

for tool in cmake cpack dpkg-deb desktop-file-validate help2man; do
    command -v "$tool" >/dev/null || { echo "package-test: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")"
[[ -n "$VERSION" ]] || { echo "package-test: no project version in $BUILD/CMakeCache.txt" >&2; exit 2; }
cmake --build "$BUILD" --target tarvello_installable >/dev/null

PROGRAMS=(tarvello tarvello-peer)
[[ -x "$BUILD/tarvello-camera" ]] && PROGRAMS+=(tarvello-camera)
UNITS=(tarvello.service)
[[ -x "$BUILD/tarvello-camera" ]] && UNITS+=(tarvello-camera.service)

# ---- 1. The installed tree ----
DEST="$WORK/dest"
DESTDIR="$DEST" cmake --install "$BUILD" --prefix /usr >"$WORK/install.log"
expected=(usr/share/applications/tarvello.desktop usr/share/icons/hicolor/scalable/apps/tarvello.svg)
for p in "${PROGRAMS[@]}"; do expected+=("usr/bin/$p" "usr/share/man/man1/$p.1.gz"); done
for u in "${UNITS[@]}"; do expected+=("usr/lib/systemd/user/$u"); done
for f in "${expected[@]}"; do check "installed /$f" test -s "$DEST/$f"; done
for p in "${PROGRAMS[@]}"; do check "/usr/bin/$p is executable" test -x "$DEST/usr/bin/$p"; done
finish_stage

desktop="$DEST/usr/share/applications/tarvello.desktop"
check "desktop entry validates" desktop-file-validate "$desktop"
# The entry starts the tray application: the program without --headless.
check "desktop entry starts the tray" grep -qx 'Exec=tarvello' "$desktop"
check "desktop entry's icon is installed" test -s "$DEST/usr/share/icons/hicolor/scalable/apps/$(sed -n 's/^Icon=//p' "$desktop").svg"

has_key() { grep -qx "$2" "$DEST/usr/lib/systemd/user/$1"; }
check "tarvello.service: Type=notify" has_key tarvello.service 'Type=notify'
check "tarvello.service: serves headless from /usr/bin" has_key tarvello.service 'ExecStart=/usr/bin/tarvello --headless'
check "tarvello.service: WatchdogSec" grep -qE '^WatchdogSec=[1-9][0-9]*s?$' "$DEST/usr/lib/systemd/user/tarvello.service"
check "tarvello.service: Restart=on-failure" has_key tarvello.service 'Restart=on-failure'
check "tarvello.service: installs into default.target" has_key tarvello.service 'WantedBy=default.target'
if [[ " ${UNITS[*]} " == *" tarvello-camera.service "* ]]; then
    check "tarvello-camera.service: runs the installed extension" \
        grep -qE '^ExecStart=/usr/bin/tarvello-camera( |$)' "$DEST/usr/lib/systemd/user/tarvello-camera.service"
fi

for p in "${PROGRAMS[@]}"; do
    page="$DEST/usr/share/man/man1/$p.1.gz"
    check "man page of $p has a title and a synopsis" \
        bash -c "zcat '$page' | grep -q '^\\.TH ' && zcat '$page' | grep -qi '^\\.SH.*SYNOPSIS\\|^\\.SH.*USAGE\\|^\\.SH DESCRIPTION'"
done
check "man page of tarvello lists --headless" bash -c "zcat '$DEST/usr/share/man/man1/tarvello.1.gz' | grep -q 'headless'"
finish_stage

# ---- 2. The package ----
DEB="$("$ROOT/scripts/package.sh" "$BUILD" | tail -n1)"
check "package built" test -f "$DEB"
finish_stage
field() { dpkg-deb -f "$DEB" "$1"; }
DEPENDS="$(field Depends)"
RECOMMENDS="$(field Recommends)"
echo "package-test: $(basename "$DEB"): Depends: $DEPENDS"
echo "package-test: Recommends: $RECOMMENDS"
check "package name and version" test "$(field Package) $(field Version)" = "tarvello $VERSION"
# One alternative of a Depends entry is enough: "a | b" lists both names.
depends_on() { tr ',|' '\n\n' <<<"$1" | sed 's/(.*)//; s/^ *//; s/ *$//; s/:any$//' | grep -qx "$2"; }

# Every library a program links directly, by the package that ships it here.
ARCH="$(dpkg --print-architecture)"
declare -A lib_packages=()
for p in "${PROGRAMS[@]}"; do
    while read -r soname; do
        owners="$(dpkg -S "*/$soname" 2>/dev/null | grep -v '^diversion' | sed 's/: .*//' | tr ',' '\n' |
                  sed 's/^ *//; s/:.*//' | sort -u | tr '\n' ' ')"
        [[ -n "$owners" ]] || { fail "no package ships $soname (linked by $p)"; continue; }
        lib_packages[$soname]="$owners"
    done < <(objdump -p "$BUILD/$p" | awk '$1 == "NEEDED" { print $2 }')
done
for soname in "${!lib_packages[@]}"; do
    found=0
    for pkg in ${lib_packages[$soname]}; do depends_on "$DEPENDS" "$pkg" && found=1; done
    ((found)) || fail "Depends lacks the package of $soname (${lib_packages[$soname]})"
done
pass "Depends names the package of each of ${#lib_packages[@]} linked libraries"

# The programs the code starts, by the package that ships them.
spawned=(Xvfb dbus-daemon)
[[ " ${PROGRAMS[*]} " == *" tarvello-camera "* ]] && spawned+=(pw-cli)
for prog in "${spawned[@]}"; do
    pkg="$(dpkg -S "*bin/$prog" 2>/dev/null | sed 's/: .*//; s/:.*//' | head -n1)"
    if [[ -z "$pkg" ]]; then fail "$prog is not installed here to find its package"; continue; fi
    check "Depends has $pkg (for $prog)" depends_on "$DEPENDS" "$pkg"
done
if [[ " ${PROGRAMS[*]} " == *" tarvello-camera "* ]]; then
    for pkg in pipewire wireplumber; do check "Recommends has $pkg" depends_on "$RECOMMENDS" "$pkg"; done
fi

# The package holds exactly the installed tree.
(cd "$DEST" && find . -type f -o -type l | sed 's|^\./||' | sort) >"$WORK/tree.txt"
dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort >"$WORK/deb.txt"
check "package contents match the installed tree" diff -u "$WORK/tree.txt" "$WORK/deb.txt"
finish_stage

# ---- 3. Installed with dpkg, one session, removed ----
check_version() {  # check_version PREFIX
    local out
    out="$("$1/bin/tarvello" --version)" || { fail "$1/bin/tarvello --version failed"; return; }
    echo "package-test: $1/bin/tarvello --version: $(tr '\n' ' ' <<<"$out")"
    check "--version names $VERSION" test "$(head -n1 <<<"$out")" = "tarvello $VERSION"
    # The back-ends it claims match what the installed programs link (PipeWire's is the
    # camera extension's).
    local line needed="" p
    line="$(sed -n 's/^Back-ends: //p' <<<"$out")"
    for p in "${PROGRAMS[@]}"; do
        needed+="$(objdump -p "$1/bin/$p" | awk '$1 == "NEEDED" { print $2 }')"$'\n'
    done
    claims() { [[ " $line " == *" $1:yes "* ]]; }
    links() { grep -q "^$1" <<<"$needed"; }
    unlinked() { ! links "$1"; }
    for pair in PULSE:libpulse.so PIPEWIRE:libpipewire-0.3.so ATSPI:libatspi.so QT6:libQt6Widgets.so X11:libX11.so; do
        local name=${pair%%:*} lib=${pair#*:}
        if claims "$name"; then
            check "--version claims $name and links $lib" links "$lib"
        else
            check "--version denies $name and nothing links $lib" unlinked "$lib"
        fi
    done
}

# A short headless session on a private display, settings and runtime directory.
run_session() {  # run_session PREFIX
    local tarvello="$1/bin/tarvello" peer="$1/bin/tarvello-peer"
    mkdir -p "$WORK/config" "$WORK/run" "$WORK/xdg"
    chmod 700 "$WORK/run"
    local code
    code="$(printf '%06d' $((RANDOM % 1000000)))"
    cat >"$WORK/config/settings.json" <<EOF
{"token": "$code", "sessionCommand": "exec '$tarvello' --time-probe --motion"}
EOF
    # No sound server of the user's is touched: the bridge looks for one that is not there.
    XDG_RUNTIME_DIR="$WORK/run" XDG_CONFIG_HOME="$WORK/xdg" PULSE_SERVER="unix:$WORK/run/no-sound" \
        setsid "$tarvello" --headless --config-dir "$WORK/config" --control-port 0 --video-port 0 \
        --bind 127.0.0.1 >"$WORK/server.log" 2>&1 &
    SERVER_PID=$!
    local control="" video=""
    for _ in $(seq 200); do
        control="$(sed -n 's/.*Control listening on TCP \([0-9]*\).*/\1/p' "$WORK/server.log" | head -n1)"
        video="$(sed -n 's/.*Video listening on UDP \([0-9]*\).*/\1/p' "$WORK/server.log" | head -n1)"
        [[ -n "$control" && -n "$video" ]] && break
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [[ -z "$control" || -z "$video" ]]; then
        fail "installed server did not listen"
        tail -n 20 "$WORK/server.log" >&2
        return
    fi
    printf 'mouseAbs 0.5 0.5\nbutton 1 1\nbutton 1 0\ntext hello\nping 7\nsleep 0.5\n' >"$WORK/script"
    if XDG_RUNTIME_DIR="$WORK/run" "$peer" 127.0.0.1 --code "$code" --control-port "$control" --video-port "$video" \
        --size 640x1136 --frames 20 --script "$WORK/script" --timeout 40 >"$WORK/peer.log" 2>&1; then
        pass "installed peer decoded frames from the installed server"
    else
        fail "installed peer (exit $?)"
        cat "$WORK/peer.log" >&2
    fi
    check "the server answered the peer's ping" grep -q '^pong 7$' "$WORK/peer.log"
    check "the peer saw the display it asked for" grep -q 'summary frames=[1-9][0-9]* .*width=640 height=1136' "$WORK/peer.log"
    kill -TERM "$SERVER_PID"
    local status=0
    wait "$SERVER_PID" || status=$?
    SERVER_PID=""
    check "installed server stopped cleanly on SIGTERM" test "$status" -eq 0
    if ((status != 0)); then tail -n 20 "$WORK/server.log" >&2; fi
}

if [[ "$(id -u)" -ne 0 ]]; then
    echo "package-test: SKIPPED dpkg -i / dpkg --purge: not root (CI runs them as root); the session runs from the DESTDIR tree"
    check_version "$DEST/usr"
    run_session "$DEST/usr"
    finish_stage
    echo "package-test: passed (without the dpkg steps)"
    exit 0
fi

if dpkg-query -W -f='${Status}' tarvello 2>/dev/null | grep -q "ok installed"; then
    echo "package-test: tarvello is already installed from a package on this machine; not replacing it" >&2
    exit 1
fi
INSTALLED=1
if ! dpkg -i "$DEB" >"$WORK/dpkg.log" 2>&1; then
    cat "$WORK/dpkg.log" >&2
    fail "dpkg -i (are the Depends installed? scripts/install-deps.sh)"
    finish_stage
fi
pass "dpkg -i $(basename "$DEB")"
for f in "${expected[@]}"; do check "dpkg installed /$f" test -s "/$f"; done
if command -v systemd-analyze >/dev/null; then
    # Unknown keys are only warnings to it: any word from it is a failure here.
    verify_unit() {
        local said
        said="$(XDG_RUNTIME_DIR="$WORK/run" systemd-analyze verify --man=no --user "$1" 2>&1)" && [[ -z "$said" ]] ||
            { echo "$said" >&2; return 1; }
    }
    mkdir -p "$WORK/run" && chmod 700 "$WORK/run"
    for u in "${UNITS[@]}"; do check "systemd-analyze verify $u" verify_unit "/usr/lib/systemd/user/$u"; done
else
    echo "package-test: systemd-analyze not installed: units checked by their keys only"
fi
check_version /usr
run_session /usr
finish_stage

dpkg --purge tarvello >"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log" >&2; fail "dpkg --purge"; }
INSTALLED=0
check "package no longer known to dpkg" bash -c "! dpkg-query -W -f='\${Status}' tarvello 2>/dev/null | grep -q 'ok installed'"
left=0
while read -r f; do
    if [[ -e "/$f" || -L "/$f" ]]; then
        echo "package-test: left behind: /$f" >&2
        left=1
    fi
done <"$WORK/deb.txt"
check "nothing of the package is left behind" test "$left" -eq 0
finish_stage
echo "package-test: passed"
