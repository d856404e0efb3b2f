#!/bin/sh
# run_demo.sh KIT: the demo's whole cycle in a temporary directory: install
# the product from KIT with --yes, run the installed program, uninstall it
# with the installed rynuninst, and show that the target is empty and the
# product's registry entry gone. Exits 0 when all of it worked.
#
# The registry is a system store of the run's own (LMX_STORE_DIR), unless
# the caller names one: an installation of the product made by hand before
# does not stand in the demo's way, and the machine's store stays as it is.
set -eu
kit=$(cd "$1" && pwd)
key='Software\Microsoft\Windows\CurrentVersion\Uninstall\{5B0C6F3E-2A71-4D8E-9C1F-7E4A2D3B6C10}'
hive=HKCU
[ "$(id -u)" = 0 ] && hive=HKLM
work=$(mktemp -d "${TMPDIR:-/tmp}/ryndemo.XXXXXX")
trap 'rm -rf "$work/store"; rmdir "$work/target" "$work" 2>/dev/null || true' EXIT
target=$work/target
mkdir "$target"
if [ -z "${LMX_STORE_DIR:-}" ]; then
  LMX_STORE_DIR=$work/store
  export LMX_STORE_DIR
  echo "the system store of this run: $LMX_STORE_DIR"
fi

step() { printf '\n== %s\n' "$*"; }

step "install: $kit/ryninst --target $target --yes"
"$kit/ryninst" --target "$target" --yes
step "the registry entry ($hive)"
"$kit/lmxreg" query "$hive\\$key"
step "run the installed program: $target/bin/ryndemo"
"$target/bin/ryndemo"
step "uninstall: $target/bin/rynuninst"
"$target/bin/rynuninst"

step "check"
left=$(find "$target" -mindepth 1 | head -5)
if [ -n "$left" ]; then
  printf 'the target is not empty:\n%s\n' "$left" >&2
  exit 1
fi
echo "the target $target is empty"
if "$kit/lmxreg" query "$hive\\$key" >/dev/null 2>&1; then
  echo "the registry entry $hive\\$key is still there" >&2
  exit 1
fi
echo "no registry entry $hive\\$key is left"
echo "demo done"
