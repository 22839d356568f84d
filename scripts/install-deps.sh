#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent and non-interactive; refreshes the package lists only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  libasio-dev nlohmann-json3-dev
  libavcodec-dev libavutil-dev libswscale-dev libyuv-dev ffmpeg
  libpng-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb x11-utils x11-xkb-utils xkb-data libx11-dev libxext-dev libxdamage-dev libxfixes-dev libxtst-dev libxss-dev libxrandr-dev libxkbcommon-dev
  tigervnc-standalone-server xserver-xorg-core xserver-xorg-video-dummy matchbox-window-manager xterm
  libsystemd-dev dbus-daemon
  libpulse-dev pulseaudio pulseaudio-utils
  libatspi2.0-dev at-spi2-core python3-gi gir1.2-gtk-3.0 gir1.2-gtk-4.0 openbox
  mutter xwayland libpipewire-0.3-dev pipewire pipewire-bin wireplumber gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core
  trayer
  desktop-file-utils help2man file systemd
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
