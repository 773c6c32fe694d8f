#!/usr/bin/env bash
# Installs the Debian 12 packages Kestrel needs to build and test.
# Idempotent and quiet: apt-get runs only when a package is missing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  libpcap-dev libgtest-dev libgmock-dev libssl-dev libbenchmark-dev
  # capture and media tools used by tests, samples and benchmarks
  tcpdump tshark ffmpeg flvmeta iproute2 iptables ethtool procps psmisc
  python3 curl wget xdg-utils time
  nginx libnginx-mod-rtmp rtmpdump
  libnetfilter-queue-dev
  # fuzzing (scripts/fuzz.sh): clang with libFuzzer's runtime
  clang libclang-rt-14-dev
  # the desktop program (Qt 6 Widgets), and Xvfb for its screenshots and tests
  qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev
  xvfb xauth x11-utils imagemagick fonts-dejavu-core
  # the player (libmpv), and the software OpenGL it draws with under Xvfb
  libmpv-dev libgl1-mesa-dri libqt6opengl6-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; keep the default (no).
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections 2>/dev/null || true
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# Debian's nginx package starts its own service when installed; it is left as
# it is. The tests run their own nginx (own configuration and pid file, in a
# private network namespace) and never need port 80 of this machine.
