#!/bin/sh
# Installs the Debian packages that building, testing and benchmarking the
# runtime need, when they are missing. Nothing else is downloaded.
set -eu
packages="build-essential cmake perl libperl-dev zlib1g-dev libexpat1-dev
  libxml-parser-perl libterm-readkey-perl libgtest-dev googletest python3 tar gzip
  pkg-config libminizip-dev zip unzip libcrypt-dev liblnk-utils util-linux passwd
  libsqlite3-dev sqlite3 libacl1-dev acl libarchive-tools xz-utils zstd diffutils mingw-w64 python3-pefile file
  clang-14 libclang-rt-14-dev libfuzzer-14-dev"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing packages:$missing (run 'make deps' as root)" >&2
  exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
