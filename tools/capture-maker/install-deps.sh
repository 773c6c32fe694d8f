#!/usr/bin/env bash
# Installs the Debian packages the capture maker (make-sample.sh,
# make-captures.py, impair.c, check-captures.py, pcap-edit.py) and its
# self-checks need. Idempotent and silent when nothing is missing.
#
#   install-deps.sh           install what is missing (as root)
#   install-deps.sh --list    print the package names, one a line
set -euo pipefail

packages=(
  iproute2                 # ip netns, ss
  procps                   # sysctl
  ethtool                  # offloads off on lo
  iptables                 # NFQUEUE rules inside the namespace
  tcpdump                  # the capture
  tshark                   # TCP analysis counts, independent checks
  ffmpeg                   # media, RTMP publisher/player/server, framemd5
  curl
  wget
  nginx
  libnginx-mod-rtmp
  rtmpdump
  python3                  # standard library only
  util-linux               # taskset: one CPU per capture lab
  gcc
  libc6-dev
  libnetfilter-queue-dev   # impair.c
)

if [[ ${1:-} == --list ]]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [[ $status == installed ]] || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages (install as root): ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
