#!/bin/sh
# pack_archive.sh DIR ARCHIVE: packs the tree below DIR into a tar.gz whose
# member names are relative to DIR (no leading "./"), as module file names
# are formed. The archive is reproducible: sorted, owner 0, fixed times.
set -eu
dir=$1
archive=$2
cd "$dir"
# shellcheck disable=SC2035
tar --format=gnu --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 \
    -czf "$archive.tmp" *
mv "$archive.tmp" "$archive"
