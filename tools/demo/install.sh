#!/bin/sh
# Demo install script of the velk agent: has velkctl verify the signed order and the downloaded
# files against the agent's settings (VELK_DEMO_VELKCTL, VELK_DEMO_CONFIG), installs the packages of
# the package list into the demo's own dpkg root (VELK_DEMO_DPKG_ROOT in demo.env beside the script),
# never into this machine's package database, and checks that dpkg then holds each at its listed version.
#   install.sh PACKAGE_DIR LIST_FILE     (the agent sends the output to the stage's log file)
set -eu
[ $# -eq 2 ] || { echo "usage: $0 PACKAGE_DIR LIST_FILE" >&2; exit 2; }
dir=$1
list=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=/dev/null
. "$here/demo.env"
root=$VELK_DEMO_DPKG_ROOT
admin=$root/var/lib/dpkg

set --
wanted=""
while read -r name version url rest; do
    case $name in '' | '#'*) continue ;; esac
    if [ -z "$url" ] || [ -n "$rest" ]; then
        echo "unreadable line in $list: $name $version $url $rest"
        exit 3
    fi
    file=$dir/${name}_$version.deb
    [ -f "$file" ] || { echo "not downloaded: $file"; exit 4; }
    set -- "$@" "$file"
    wanted="$wanted $name=$version"
done < "$list"
[ $# -gt 0 ] || { echo "no package in $list"; exit 5; }

# Right before dpkg: a file swapped since the download or an order not signed as the settings
# want stops here.
echo "velkctl verify $dir $list"
# Its answer is on standard output; whatever goes to standard error stays in this log as it is.
if ! verified=$("$VELK_DEMO_VELKCTL" --config "$VELK_DEMO_CONFIG" verify "$dir" "$list"); then
    echo "$verified" | sed 's/^/    /'
    exit 7
fi
echo "$verified" | sed 's/^/    /'

# dpkg wants ldconfig and start-stop-daemon on the PATH, which lacks sbin for most users; it
# runs without root in a root of its own, maintainer scripts outside a chroot.
PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin
export PATH
echo "dpkg --root=$root -i $*"
dpkg --root="$root" --force-not-root --force-script-chrootless --log="$root/var/log/dpkg.log" -i "$@"

for pair in $wanted; do
    name=${pair%%=*}
    version=${pair#*=}
    state=$(dpkg-query --admindir="$admin" -W -f='${db:Status-Abbrev}${Version}' "$name" 2>/dev/null || true)
    if [ "$state" != "ii $version" ]; then
        echo "$name is not installed at $version after dpkg: '$state'"
        exit 6
    fi
    echo "installed $name $version"
done
