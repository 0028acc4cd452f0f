#!/usr/bin/env bash
# The check phase on two cores, and the launcher's start, against references
# measured side by side: each pair runs alternately RUNS times (default 5)
# and the ratio is that of the medians.
#  check    512 MiB in 1,000 current files and 20,000 files of 4 KiB, warm:
#           corvel-update vs md5sum over the same files
#  launcher 20,000 current files of 1 KiB under Wine: the window's start to
#           its idle view vs corvel-update.exe on the same directory (needs
#           an X display; the loopback launcher of the test build closes
#           itself at the idle view when CORVEL_EXIT_WHEN_IDLE is set)
# Usage: bench/run_check.sh [check|launcher]...  (WORK, NATIVE, WINDOWS_TEST, RUNS)
source "$(dirname "$0")/run_lib.sh"
RUNS=${RUNS:-5}
WINDOWS_TEST=${WINDOWS_TEST:-$ROOT/build/windows}
update=$NATIVE/tools/update/corvel-update
what=("$@"); [ ${#what[@]} -gt 0 ] || what=(check launcher)
has() { local w; for w in "${what[@]}"; do [ "$w" = "$1" ] && return 0; done; return 1; }

# wall SECONDS of one run of a command (through a file: see run_lib.sh).
wall() {
  { TIMEFORMAT='%R'; time bash -c "$1" > /dev/null 2> "$WORK/.err"; } 2> "$WORK/.time"
  tail -1 "$WORK/.time"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# compare NAME TARGET "ours" "reference": alternating runs, medians, ratio.
compare() {
  local name=$1 target=$2 ours=$3 ref=$4 a=() b=() i
  for i in $(seq "$RUNS"); do
    a+=("$(wall "$ours")"); b+=("$(wall "$ref")")
  done
  local ma mb
  ma=$(printf '%s\n' "${a[@]}" | median); mb=$(printf '%s\n' "${b[@]}" | median)
  printf '%-34s median %7.2f / %7.2f s = %.3f   (target <= %s)  load %s\n' "$name" "$ma" "$mb" \
    "$(awk -v a="$ma" -v b="$mb" 'BEGIN { print a / b }')" "$target" "$(cut -d' ' -f1-3 /proc/loadavg)"
  printf '    ours: %s\n          %s\n    ref:  %s\n          %s\n' "$ours" "${a[*]}" "$ref" "${b[*]}"
}
md5tree() { echo "cd $1 && find d* -type f -print0 | xargs -0 md5sum"; }

echo "== check and launcher benchmarks, $(date -u '+%F %H:%M UTC'), $(nproc) cores, RUNS=$RUNS"
if has check; then
  python3 "$ROOT/bench/run_gendata.py" "$WORK" tree512m tree20k
  for t in tree512m tree20k; do
    [ -f "$WORK/list-$t/files.lst.bz2" ] || python3 "$ROOT/bench/run_list.py" "$WORK/$t" "$WORK/list-$t"
  done
  serve "$WORK/list-tree512m"; P512=$PORT
  serve "$WORK/list-tree20k"; P20K=$PORT
  for t in tree512m tree20k; do cat "$WORK/$t"/d*/* > /dev/null; done
  compare "check 512 MiB / 1,000" 0.6 "$update --force --dir $WORK/tree512m http://127.0.0.1:$P512/" "$(md5tree "$WORK/tree512m")"
  compare "check 80 MiB / 20,000 x 4 KiB" 1.0 "$update --force --dir $WORK/tree20k http://127.0.0.1:$P20K/" "$(md5tree "$WORK/tree20k")"
fi

if has launcher; then
  launcher=$WINDOWS_TEST/tests/e2e/launcher/launcher_loopback.exe
  console=$WINDOWS_TEST/tools/update/corvel-update.exe
  [ -x "$launcher" ] && [ -f "$console" ] || { echo "no $launcher or $console"; exit 1; }
  [ -n "${DISPLAY:-}" ] || { echo "launcher: needs an X display (xvfb-run -a bench/run_check.sh launcher)"; exit 1; }
  python3 "$ROOT/bench/run_gendata.py" "$WORK" tree20k1
  d=$WORK/tree20k1
  [ -f "$WORK/list-tree20k1/Updater/files.lst.bz2" ] || python3 "$ROOT/bench/run_list.py" "$d" "$WORK/list-tree20k1/Updater"
  # The test build takes its update server from the environment (tests/e2e/launcher).
  serve "$WORK/list-tree20k1"; PL=$PORT
  cp "$launcher" "$d/CorvelUpdater.exe"
  wine cmd /c exit > /dev/null 2>&1 < /dev/null  # Wine's services up before timing
  compare "launcher start, 20,000 x 1 KiB" 1.2 \
    "cd $d && CORVEL_TEST_UPDATE_URL=http://127.0.0.1:$PL/Updater/ CORVEL_EXIT_WHEN_IDLE=1 wine CorvelUpdater.exe" \
    "wine $console --dir $d http://127.0.0.1:$PL/Updater/ > $WORK/console.out"
  rm -f "$d/CorvelUpdater.exe"
fi
