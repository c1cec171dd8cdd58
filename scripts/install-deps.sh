#!/usr/bin/env bash
# Installs every Debian 12 package Quarnel needs to build, run and test.
# Used by README's commands and by CI alike; safe to run again.
set -euo pipefail

packages=(
    # build
    build-essential cmake pkg-config clang-format
    # windows, settings, dialogs, tray
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # desktop-wide hot key (X11), native Wayland windows, GNOME's keyboard shortcuts
    libx11-dev libxi-dev qt6-wayland libglib2.0-bin gnome-settings-daemon-common
    # the service under systemd: readiness, status, watchdog and the journal
    libsystemd-dev
    # rendering back end and JPEG writing
    libmupdf-dev libfreetype-dev libharfbuzz-dev libjpeg-dev libopenjp2-7-dev libjbig2dec0-dev
    libmujs-dev libgumbo-dev zlib1g-dev
    # the Ghostscript method
    ghostscript
    # tests (a private D-Bus, a Wayland compositor without a display and an accessibility bus to
    # press buttons there, power cuts on FUSE)
    libgtest-dev xvfb xauth xdotool x11-utils trayer openbox poppler-utils desktop-file-utils xclip file
    appstream man-db dbus-daemon weston at-spi2-core python3-pyatspi libfuse3-dev fuse3 dosfstools systemd
    # opening the log and folders on the desktop
    xdg-utils
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
