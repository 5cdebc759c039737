#!/bin/sh
# Demo download script of the velk agent: fetches every package of the package list from the
# local monitoring service into the package folder and checks that each file is the package
# and version the list names.
#   download.sh PACKAGE_DIR LIST_FILE     (the agent sends the output to the stage's log file)
# demo.env beside the script names the service's CA certificate (VELK_DEMO_CA).
set -eu
[ $# -eq 2 ] || { echo "usage: $0 PACKAGE_DIR LIST_FILE" >&2; exit 2; }
dir=$1
list=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=/dev/null
. "$here/demo.env"

mkdir -p "$dir"
count=0
while read -r name version url rest; do
    case $name in '' | '#'*) continue ;; esac
    if [ -z "$url" ] || [ -n "$rest" ]; then
        echo "unreadable line in $list: $name $version $url $rest"
        exit 3
    fi
    case $name$version in */*) echo "not a package name and version: $name $version"; exit 3 ;; esac
    file=$dir/${name}_$version.deb
    echo "download $name $version <- $url"
    curl --globoff --fail --silent --show-error --max-time 120 --cacert "$VELK_DEMO_CA" -o "$file.part" "$url"
    # shellcheck disable=SC2016
    got=$(dpkg-deb --show --showformat='${Package} ${Version}' "$file.part")
    if [ "$got" != "$name $version" ]; then
        echo "$url holds $got, not $name $version"
        rm -f "$file.part"
        exit 4
    fi
    mv "$file.part" "$file"
    count=$((count + 1))
done < "$list"
[ "$count" -gt 0 ] || { echo "no package in $list"; exit 5; }
echo "downloaded $count package(s) into $dir"
