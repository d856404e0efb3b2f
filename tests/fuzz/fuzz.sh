#!/bin/sh
# Builds and runs the libFuzzer harnesses.
#   fuzz.sh build DIR               configure and build them in DIR with clang-14
#   fuzz.sh run DIR SECONDS [NAME]  run each (or the named) harness for SECONDS,
#                                   one after the other, and print its executions
# A harness runs on a scratch copy of its seeds (DIR/corpus/NAME) and keeps
# what it finds in DIR/findings/NAME/; a run that finds something fails.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
command=${1:-}
dir=${2:-}
[ -n "$command" ] && [ -n "$dir" ] || { sed -n '2,7p' "$0" >&2; exit 2; }

case "$command" in
build)
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
  cmake --build "$dir" -j "${JOBS:-2}"
  ;;
run)
  # Absolute, as the harnesses that extract change their working directory.
  dir=$(cd "$dir" && pwd)
  seconds=${3:-60}
  shift $(($# < 3 ? $# : 3))
  names=${*:-$(sed -n 's/^set(LMX_FUZZ_HARNESSES \(.*\))$/\1/p' "$here/harnesses.cmake")}
  status=0
  for name in $names; do
    if [ ! -x "$dir/${name}_fuzz" ]; then
      echo "$name: not built in $dir (fuzz.sh build $dir)"
      status=1
      continue
    fi
    corpus="$dir/corpus/$name"
    findings="$dir/findings/$name"
    mkdir -p "$corpus" "$findings"
    cp -n "$here/corpus/$name"/* "$corpus/" 2>/dev/null || true
    log="$dir/$name.log"
    # New inputs go to the scratch corpus; the regression files are read too.
    if "$dir/${name}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
         -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" \
         $(ls -d "$here/regressions/$name" 2>/dev/null) >"$log" 2>&1; then
      result=ok
    else
      result="FINDING (see $log and $findings/)"
      status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "$name: ${runs:-0} executions in ${seconds} s, $result"
  done
  exit $status
  ;;
*)
  sed -n '2,7p' "$0" >&2
  exit 2
  ;;
esac
