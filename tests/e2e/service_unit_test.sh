#!/usr/bin/env bash
# The systemd units the package installs (the user unit and the system template for a user) are ones
# systemd accepts, starting this build's program.
QUARNEL="$1"
set -euo pipefail
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze here: skipped"; exit 0; }
unit_dir=$(mktemp -d)
trap 'rm -rf "$unit_dir"' EXIT
for unit in quarnel.service quarnel@.service; do
    target="$unit_dir/${unit/@/@root}"
    sed "s|^ExecStart=/usr/bin/quarnel |ExecStart=$QUARNEL |" "$(dirname "$0")/../../packaging/$unit" >"$target"
    grep -q "^ExecStart=$QUARNEL --service\$" "$target"
    grep -qx "Type=notify" "$target"
    # The manual page is checked by the package's own journey, where it is installed.
    systemd-analyze verify --man=no "$target"
done
