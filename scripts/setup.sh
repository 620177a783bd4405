#!/bin/sh
# Installs every Debian package the project needs (idempotent). Run as root.
# The last line of packages is what a desktop loads beside the panel (a session bus
# with the accessibility bridge, the GTK theme, Xcursor, GLX): the panel's window test
# runs with them, as a user's panel does.
set -eu
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
PKGS="build-essential cmake ninja-build pkg-config git python3 \
  libgtest-dev libgmock-dev googletest libbenchmark-dev libssl-dev \
  clang libclang-rt-14-dev \
  iproute2 socat nftables linuxptp tshark tcpdump procps psmisc \
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad \
  gstreamer1.0-alsa sox libsox-fmt-all libasound2-dev alsa-utils nodejs libpipewire-0.3-dev \
  jackd2 pipewire pipewire-bin pipewire-pulse wireplumber pulseaudio-utils dbus-daemon \
  qtbase5-dev qttools5-dev qttools5-dev-tools xvfb xauth xdotool trayer imagemagick fonts-noto-cjk \
  dbus at-spi2-core qt5-gtk-platformtheme libxcursor1 libgl1-mesa-dri libglx-mesa0"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
# Some builds of nodejs bring npm along and conflict with the separate package.
command -v npm >/dev/null 2>&1 || missing="$missing npm"
if [ -n "$missing" ]; then
  echo "setup: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # tshark asks whether non-root users may capture; answer for it.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections || true
  # jackd2 asks whether to allow real-time priority for the audio group; the test runs as root.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections || true
  $SUDO apt-get install -y -q --no-install-recommends $missing
else
  echo "setup: all packages present"
fi

# The SDP judge of the LAN tests: npm's sdp-transform, kept outside the work tree
# (the tests find it with NODE_PATH=$VELUNOR_NODE_DIR/node_modules).
NODE_DIR="${VELUNOR_NODE_DIR:-/var/cache/velunor-node}"
if [ ! -f "$NODE_DIR/node_modules/sdp-transform/package.json" ]; then
  echo "setup: installing sdp-transform into $NODE_DIR"
  $SUDO mkdir -p "$NODE_DIR"
  $SUDO npm install --silent --no-audit --no-fund --prefix "$NODE_DIR" sdp-transform@3 >/dev/null ||
    echo "setup: npm could not install sdp-transform; the LAN test that needs it will be skipped"
fi
