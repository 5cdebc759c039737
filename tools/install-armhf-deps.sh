#!/bin/sh
# Installs what the armhf cross build needs, from Debian's packages only: the
# armhf architecture in dpkg (multiarch) and the packages named as arguments
# ("name:armhf" for target libraries, plain names for host tools).
set -eu

arch_missing=""
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    arch_missing=yes
fi

missing=""
for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done
[ -z "$arch_missing" ] && [ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    [ -n "$arch_missing" ] && echo "The armhf architecture is not enabled in dpkg." >&2
    [ -n "$missing" ] && echo "Missing Debian packages:$missing" >&2
    echo "Set them up as root with:" >&2
    [ -n "$arch_missing" ] && echo "  dpkg --add-architecture armhf" >&2
    echo "  apt-get update" >&2
    [ -n "$missing" ] && echo "  apt-get install --no-install-recommends$missing" >&2
    exit 1
fi

if [ -n "$arch_missing" ]; then
    echo "Enabling the armhf architecture in dpkg"
    dpkg --add-architecture armhf
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
[ -z "$missing" ] && exit 0
echo "Installing Debian packages:$missing"
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
