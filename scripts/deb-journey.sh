#!/usr/bin/env bash
# Builds the .deb, installs it with apt-get, runs the user's journey against the installed program,
# checks the package's files, and removes the package again (checking nothing is left behind).
set -euo pipefail
cd "$(dirname "$0")/.."
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
deb=$(bash scripts/build-deb.sh | tail -n 1)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "./$deb" >/dev/null
trap 'DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get remove -y -qq quarnel >/dev/null 2>&1 || true' EXIT
files=$(dpkg -L quarnel)
for want in /opt/quarnel/lib/quarnel/quarnel /opt/quarnel/lib/quarnel/quarnel-batch /opt/quarnel/lib/quarnel/quarnel-bw \
    /opt/quarnel/lib/quarnel/quarnel-render /opt/quarnel/lib/quarnel/ps/gswin32c /opt/quarnel/lib/quarnel/bw/convert.bat \
    /usr/bin/quarnel /usr/share/applications/quarnel.desktop /usr/share/icons/hicolor/48x48/apps/quarnel.png \
    /usr/lib/systemd/user/quarnel.service /usr/lib/systemd/system/quarnel@.service \
    /usr/share/bash-completion/completions/quarnel; do
    grep -qx "$want" <<<"$files" || { echo "FAIL: the package has no $want"; exit 1; }
done
desktop-file-validate /usr/share/applications/quarnel.desktop
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/user/quarnel.service
    systemd-analyze verify /usr/lib/systemd/system/quarnel@root.service
fi
command -v quarnel
bash tests/e2e/journey_test.sh --installed "$(command -v quarnel)"
bash tests/e2e/journey_test.sh --wayland --installed "$(command -v quarnel)"
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get remove -y -qq quarnel >/dev/null
trap - EXIT
left=""
for path in /opt/quarnel /usr/bin/quarnel /usr/share/applications/quarnel.desktop /usr/share/icons/hicolor/48x48/apps/quarnel.png \
    /usr/lib/systemd/user/quarnel.service /usr/lib/systemd/system/quarnel@.service; do
    [ -e "$path" ] && left="$left $path"
done
[ -z "$left" ] || { echo "FAIL: left behind after removal:$left"; exit 1; }
echo "deb journey: ok"
