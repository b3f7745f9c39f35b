#!/usr/bin/env bash
# Installs, only when missing, every Debian package the build, the tests and the local run need,
# and the packages named as arguments (scripts that need more, such as galera-check.sh).
set -euo pipefail

packages=(
    build-essential cmake pkg-config clang-format clang-tidy
    default-libmysqlclient-dev libssl-dev libjsoncpp-dev uuid-dev
    googletest libgtest-dev
    mariadb-server mariadb-client
    clang libclang-rt-dev
    libsystemd-dev systemd libmicrohttpd-dev dpkg-dev man-db gnuplot-nox
    prometheus
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

echo "bootstrap: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
