#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Non-interactive and idempotent.
set -euo pipefail

PACKAGES=(
    cmake ninja-build g++ python3
    libgtest-dev nlohmann-json3-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 xvfb xauth x11-apps imagemagick gifsicle xdotool fonts-wine fonts-liberation
    librsvg2-bin icoutils
    # Arial under Wine is Liberation Sans; its version 2 draws Hebrew itself, as Windows'
    # Arial does (Wine draws no linked font for Hebrew in a button).
    fonts-liberation2
    # the scripts Arial lacks, linked to it in the Wine prefix (scripts/wine-common.sh):
    # Chinese, Japanese and Korean; Hebrew and Arabic; Thai
    fonts-wqy-microhei fonts-dejavu-core fonts-tlwg-loma-ttf
    python3-pefile clang-format python3-pytest osslsigncode openssl libssl-dev nsis wixl
    clang-14 libclang-rt-14-dev
)

# One question to dpkg for all of them: a package it does not know is missing too.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${PACKAGES[@]}" 2>/dev/null |
    awk '$NF == "installed" && $(NF-1) == "ok" { print $1 }' || true)
missing=()
for p in "${PACKAGES[@]}"; do
    if ! grep -qx -- "$p" <<<"$installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "deps: all ${#PACKAGES[@]} packages present"
    exit 0
fi

echo "deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
