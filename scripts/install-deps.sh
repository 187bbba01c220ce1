#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this project needs to build, test and run and is
# not yet on the machine. Safe to run again: it does nothing when all is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev
  # Full-text search: SQLite's FTS5, libxml2's HTML parser and GLib's Unicode tables.
  libsqlite3-dev libsqlite3-0 libxml2-dev libxml2 libglib2.0-dev libglib2.0-0
  # SHA-256 of a book's whole directory at every start, with the processor's SHA instructions.
  libssl3 libssl-dev
  clang libclang-rt-14-dev
  libgtkmm-3.0-dev libwebkit2gtk-4.1-dev libwebkit2gtk-4.1-0
  # glib-compile-resources, which compiles the page scripts into the viewer.
  libglib2.0-dev-bin
  gnome-icon-theme adwaita-icon-theme fonts-dejavu-core
  xvfb xauth xdotool imagemagick dbus-x11 dbus-daemon python3
  # Media in the archives' pages: WebM (VP8/VP9, Vorbis/Opus), MP4 (H.264/AAC), WAV, and the
  # GStreamer tools that the media tests make their clips with.
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-libav gstreamer1.0-gl gstreamer1.0-tools
  # Installing, desktop integration and the Debian package, with their validators.
  dpkg-dev file lintian desktop-file-utils shared-mime-info appstream xdg-utils libglib2.0-bin
  libgtk-3-bin x11-utils man-db groff-base
  # The GUI tests read the window through the accessibility bus and the clipboard with xclip.
  at-spi2-core python3-pyatspi xclip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
