#!/bin/sh
# Installs every Debian package the build, the tests and the tools need.
# Safe to run again: apt-get skips what is already installed.
set -eu

PACKAGES="
  build-essential
  cmake
  ninja-build
  pkg-config
  procps
  clang-format
  clang-tidy
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libboost-dev
  libboost-program-options-dev
  libdlt-dev
  dlt-daemon
  dlt-tools
  libavcodec-dev
  libx264-dev
  libavformat-dev
  libavutil-dev
  libswscale-dev
  ffmpeg
  nlohmann-json3-dev
  libiceoryx-posh-dev
  libiceoryx-hoofs-dev
  iceoryx
  libyuv-dev
  libzstd-dev
  libhwy-dev
  libopencv-imgproc-dev
  tshark
  iproute2
  nftables
  clang
  libclang-rt-14-dev
  chromium
  cyclonedds-dev
  cyclonedds-tools
  libfastrtps-dev
  libfastcdr-dev
  fastddsgen
"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

missing=""
for pkg in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $pkg"
  fi
done

if [ -z "$missing" ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether non-root users may capture; answer no up front so the install never prompts.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
