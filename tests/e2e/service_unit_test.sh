#!/usr/bin/env bash
# The systemd user unit the package installs is one systemd accepts, starting this build's program.
QUARNEL="$1"
set -euo pipefail
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze here: skipped"; exit 0; }
unit_dir=$(mktemp -d)
trap 'rm -rf "$unit_dir"' EXIT
sed "s|^ExecStart=/usr/bin/quarnel |ExecStart=$QUARNEL |" "$(dirname "$0")/../../packaging/quarnel.service" \
    >"$unit_dir/quarnel.service"
grep -q "^ExecStart=$QUARNEL --service\$" "$unit_dir/quarnel.service"
# The manual page is checked by the package's own journey, where it is installed.
systemd-analyze verify --man=no "$unit_dir/quarnel.service"
