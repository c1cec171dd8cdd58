#!/usr/bin/env bash
# Builds the Debian package quarnel_<version>_amd64.deb into build-deb/ (program under /opt/quarnel,
# launcher /usr/bin/quarnel, desktop entry and icon under /usr/share).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
if ! command -v dpkg-shlibdeps >/dev/null; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends dpkg-dev
fi
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/opt/quarnel -DQUARNEL_SYSTEM_INTEGRATION=ON \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build build-deb -j "$(nproc)"
(cd build-deb && cpack -G DEB >/dev/null)
ls build-deb/quarnel_*_amd64.deb
