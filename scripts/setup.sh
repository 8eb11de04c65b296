#!/usr/bin/env bash
# Installs every package the build, the tests and the tools need, when missing.
#   scripts/setup.sh            build and test dependencies for this machine
#   scripts/setup.sh --arm64    also the AArch64 cross toolchain, arm64 libraries and qemu-user
set -euo pipefail

packages=(
    cmake g++ make pkg-config git
    dpkg-dev lintian
    libcurl4-gnutls-dev libgnutls28-dev gnutls-bin
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang clang-format libclang-rt-14-dev
    ffmpeg libavformat-dev libavcodec-dev libavutil-dev
    python3 python3-gi gir1.2-gst-rtsp-server-1.0
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    gstreamer1.0-plugins-ugly gstreamer1.0-libav
)

arm64=0
for arg in "$@"; do
    case "$arg" in
        --arm64) arm64=1 ;;
        *) echo "usage: $0 [--arm64]" >&2; exit 2 ;;
    esac
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "$arm64" -eq 1 ] && [ -x "$(dirname "$0")/setup-arm64.sh" ]; then
    "$(dirname "$0")/setup-arm64.sh"
fi
echo "setup: all dependencies present"
