#!/usr/bin/env bash
# Installs what the AArch64 cross build and its emulated test run need, when missing:
# Debian's aarch64-linux-gnu cross compiler, the arm64 builds of libcurl (GnuTLS), GnuTLS and
# GoogleTest from the multiarch archive, and qemu-user to run the arm64 test programs.
# The arm64 -dev packages are Multi-Arch: same, so they install beside the amd64 ones;
# apt keeps both at one version. Run by scripts/setup.sh --arm64 and scripts/ci-arm64.sh.
set -euo pipefail

packages=(
    g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
    qemu-user
    libcurl4-gnutls-dev:arm64 libgnutls28-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "setup-arm64: adding the arm64 architecture to dpkg"
    $SUDO dpkg --add-architecture arm64
    need_update=1
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    need_update=1
fi
if [ "$need_update" -eq 1 ]; then
    $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup-arm64: installing ${missing[*]}"
    # The native -dev packages stay installed: refuse any solution that would remove a package.
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends --no-remove \
        "${missing[@]}"
fi
echo "setup-arm64: cross toolchain, arm64 libraries and qemu-aarch64 present"
