# Sourced by setup, run and test: the Debian packages the build, the tests and the run need, and
# which of them are missing.

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev clang-format
  # test and benchmark frameworks
  libgtest-dev libgmock-dev libbenchmark-dev
  # base runtime and wire protocol
  libasio-dev nlohmann-json3-dev
  # QUIC transport and TLS identity
  libgnutls28-dev gnutls-bin libngtcp2-dev libngtcp2-crypto-gnutls-dev ngtcp2-client ngtcp2-server openssl
  # audio codec
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev ffmpeg libkissfft-dev sox espeak-ng
  # virtual displays, power and the headless desktop
  libxcb1-dev libxcb-randr0-dev libxcb-screensaver0-dev libxcb-xtest0-dev libxcb-res0-dev
  xserver-xorg-core xserver-xorg-video-dummy xvfb openbox x11-xserver-utils x11-utils xauth xdotool
  # discovery and the path monitor
  libavahi-client-dev avahi-daemon avahi-utils dbus
  # screen capture and HEVC video
  libx265-dev libyuv-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev libswscale-dev
  # clipboard: image codecs, HTML reading, and the witness tool of the tests
  libjpeg62-turbo-dev libpng-dev libtiff-dev libxml2-dev xclip
  # system audio, the virtual microphone and the camera: sound servers, their client libraries
  # and the witness tools of the tests
  pulseaudio pulseaudio-utils libpulse-dev pipewire pipewire-pulse pipewire-bin wireplumber
  libpipewire-0.3-dev libspa-0.2-dev gstreamer1.0-pipewire gstreamer1.0-tools
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good libsystemd-dev systemd dbus-user-session
  libfreetype-dev fonts-dejavu-core
  # the tray application, password reveal and the package
  qt6-base-dev libpam0g-dev trayer lintian dpkg-dev fakeroot
  # the headless desktop's light session: panel with launcher, terminal, file manager
  tint2 xterm pcmanfm
  # the desktop viewer: window, input and audio
  libsdl2-dev
  # accessibility of other applications, and the GTK test application of the input tests
  libatspi2.0-dev at-spi2-core gir1.2-atspi-2.0 python3-gi gir1.2-gtk-3.0
  # GNOME on Wayland: the compositor the Mutter backends talk to (its tests run a private headless
  # one beside PipeWire and WirePlumber), and the shell whose extension of ours offers the windows
  mutter gnome-shell
  # tools used by tests
  python3 iproute2 procps
)

# Prints the missing packages, space separated; nothing when all are installed.
missing_packages() {
  local p missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  echo "${missing[*]}"
}

# Runs scripts/setup when something is missing, so each script works on a fresh machine.
ensure_packages() {
  if [ -n "$(missing_packages)" ]; then
    "$(dirname "${BASH_SOURCE[0]}")/setup"
  fi
}
