#!/usr/bin/env bash
# Installs what building and testing the Downloader needs on Debian, only
# where it is missing, so that running it again on a ready machine changes
# nothing.
set -euo pipefail

# The 32-bit compiler builds the shipped program; the 64-bit one builds the
# copy that runs here under 64-bit Wine (see README.md). nginx and curl are
# for the download benchmark; openssl and osslsigncode make the certificates
# and signed programs of the tests and the demo.
packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 cmake make wine wine64 xvfb
          locales fonts-ipafont-gothic xdotool imagemagick python3 googletest
          nginx-light curl openssl osslsigncode)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Wine reports code page 932 only when the Japanese locale exists.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "setup: generating the ja_JP.UTF-8 locale"
    if ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
        echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
    fi
    as_root locale-gen
fi
