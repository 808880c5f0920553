#!/usr/bin/env bash
# Installs the Debian packages the build and the program need; with --test also the test peers,
# the tray host and the load tools. Does nothing when all of them are present already.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev libqt5sql5-sqlite qtscript5-dev libqt5serialport5-dev qttools5-dev-tools
    qttranslations5-l10n
    libmodbus-dev libboost-dev libsqlite3-dev shared-mime-info ca-certificates
)
test_packages=(
    python3 python3-pytest python3-pymodbus python3-serial python3-serial-asyncio python3-aiosmtpd
    socat curl sqlite3 openssl
    xvfb xauth trayer xdotool xclip x11-utils
    wrk nginx-light
)
[[ "${1:-}" == --test ]] && packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "root or sudo is needed to install packages" >&2; exit 1; }
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# Another install running at the same time holds dpkg's lock: wait for it instead of failing.
lock=(-o DPkg::Lock::Timeout=600)
"${sudo[@]}" apt-get "${lock[@]}" update
"${sudo[@]}" apt-get "${lock[@]}" install -y --no-install-recommends "${missing[@]}"
