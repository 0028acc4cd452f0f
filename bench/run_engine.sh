#!/usr/bin/env bash
# corvel-update against the standard tools, all from a local http.server:
#  check    warm 1 GiB tree of 2,000 current files (--force) vs md5sum; also
#           20,000 files of 4 KiB
#  download one 256 MiB file: vs curl -o of the raw file, and vs
#           curl | bzip2 -d of the same .bz2 corvel-update fetches
#  install  fresh install of 1 GiB in 2,000 files vs a loop of curl | bzip2 -d
#  memory   peak RSS of a check run and of a fresh install of the 1 GiB tree
#  signed   fresh install of the 1 GiB tree published with --sign and run with
#           the public key, vs the same tree unsigned (cost of verification)
# Usage: bench/run_engine.sh [check|download|install|memory|signed|wine]...
#   (WORK, NATIVE, WINDOWS, RUNS override defaults; wine = download under Wine)
source "$(dirname "$0")/run_lib.sh"
update=$NATIVE/tools/update/corvel-update
publish=$NATIVE/tools/publish/corvel-publish
what=("$@"); [ ${#what[@]} -gt 0 ] || what=(check download install memory wine)
has() { local w; for w in "${what[@]}"; do [ "$w" = "$1" ] && return 0; done; return 1; }

python3 "$ROOT/bench/run_gendata.py" "$WORK" tree1g tree20k mix256
pub() {  # pub CLIENT SERVER: publishes once
  [ -f "$2/files.lst.bz2" ] || "$publish" --jobs 2 "$1" "$2" > /dev/null
}
pub "$WORK/tree1g" "$WORK/srv1g"
pub "$WORK/tree20k" "$WORK/srv20k"
mkdir -p "$WORK/one"; ln -f "$WORK/data/mix256.bin" "$WORK/one/mix256.bin"
pub "$WORK/one" "$WORK/srv1"
ln -f "$WORK/data/mix256.bin" "$WORK/srv1/raw.bin"   # the plain file for curl -o
serve "$WORK/srv1g"; P1G=$PORT
serve "$WORK/srv20k"; P20K=$PORT
serve "$WORK/srv1"; P1=$PORT
echo "== engine benchmarks, $(date -u '+%F %H:%M UTC'), $(nproc) cores"

md5tree() { echo "cd $1 && find d* -type f -print0 | xargs -0 md5sum"; }
if has check; then
  for t in tree1g tree20k; do cat "$WORK/$t"/d*/* > /dev/null; done
  report "check 1 GiB / 2,000" 1.0 "$update --force --dir $WORK/tree1g http://127.0.0.1:$P1G/" "$(md5tree "$WORK/tree1g")"
  report "check 80 MiB / 20,000" 1.3 "$update --force --dir $WORK/tree20k http://127.0.0.1:$P20K/" "$(md5tree "$WORK/tree20k")"
fi

if has download; then
  d=$WORK/dl; BEFORE="rm -rf $d && mkdir -p $d"
  cat "$WORK/srv1/mix256.bin.bz2" "$WORK/srv1/raw.bin" > /dev/null
  report "download 256 MiB vs curl -o" 1.2 "$update --force --dir $d http://127.0.0.1:$P1/" "curl -s -o $d/raw.bin http://127.0.0.1:$P1/raw.bin"
  report "download+decode vs curl|bzip2" 1.2 "$update --force --dir $d http://127.0.0.1:$P1/" "curl -s http://127.0.0.1:$P1/mix256.bin.bz2 | bzip2 -d > $d/mix256.bin"
  unset BEFORE
fi

if has install; then
  d=$WORK/inst; BEFORE="rm -rf $d && mkdir -p $d"
  (cd "$WORK/tree1g" && find d* -type f | sort) > "$WORK/files1g.txt"
  loop="while read -r f; do mkdir -p $d/\$(dirname \$f); curl -s http://127.0.0.1:$P1G/\$f.bz2 | bzip2 -d > $d/\$f; done < $WORK/files1g.txt"
  report "fresh install 1 GiB / 2,000" 0.8 "$update --force --dir $d http://127.0.0.1:$P1G/" "$loop"
  (cd "$WORK/tree1g" && find d* -type f -print0 | xargs -0 md5sum) | (cd "$d" && md5sum -c --quiet) && echo "    installed tree verified"
  unset BEFORE
fi

if has signed; then
  [ -f "$WORK/bench.key" ] || "$publish" keygen "$WORK/bench.key" > "$WORK/bench.pub"
  [ -f "$WORK/srv1g-signed/files.lst.bz2.sig" ] ||
    "$publish" --jobs 2 --sign "$WORK/bench.key" "$WORK/tree1g" "$WORK/srv1g-signed" > /dev/null
  serve "$WORK/srv1g-signed"; PSIGNED=$PORT
  d=$WORK/inst; BEFORE="rm -rf $d && mkdir -p $d"
  report "fresh install signed/unsigned" 1.05 \
    "$update --force --public-key $(cat "$WORK/bench.pub") --dir $d http://127.0.0.1:$PSIGNED/" \
    "$update --force --dir $d http://127.0.0.1:$P1G/"
  unset BEFORE
fi

if has memory; then
  peak() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ { printf "%.1f MiB", $2 / 1024 }'; }
  echo "peak RSS check 1 GiB:      $(peak "$update" --force --dir "$WORK/tree1g" "http://127.0.0.1:$P1G/") (target <= 32 MiB)"
  echo "peak RSS check 20,000:     $(peak "$update" --force --dir "$WORK/tree20k" "http://127.0.0.1:$P20K/")"
  rm -rf "$WORK/inst" && mkdir -p "$WORK/inst"
  echo "peak RSS install 1 GiB:    $(peak "$update" --force --dir "$WORK/inst" "http://127.0.0.1:$P1G/")"
  rm -rf "$WORK/dl" && mkdir -p "$WORK/dl"
  echo "peak RSS download 256 MiB: $(peak "$update" --force --dir "$WORK/dl" "http://127.0.0.1:$P1/")"
fi

if has wine && [ -x "$WINDOWS/tools/update/corvel-update.exe" ]; then
  wine cmd /c exit > /dev/null 2>&1 < /dev/null  # start Wine's services before timing
  exe=$WINDOWS/tools/update/corvel-update.exe
  d=$WORK/dl; BEFORE="rm -rf $d && mkdir -p $d"
  report "wine download vs curl -o" 1.2 "wine $exe --force --dir $d http://127.0.0.1:$P1/" "curl -s -o $d/raw.bin http://127.0.0.1:$P1/raw.bin"
  report "wine dl+decode vs curl|bzip2" 1.2 "wine $exe --force --dir $d http://127.0.0.1:$P1/" "curl -s http://127.0.0.1:$P1/mix256.bin.bz2 | bzip2 -d > $d/mix256.bin"
  unset BEFORE
  report "wine check 1 GiB / 2,000" 1.0 "wine $exe --force --dir $WORK/tree1g http://127.0.0.1:$P1G/" "$(md5tree "$WORK/tree1g")"
fi
rm -rf "$WORK/dl" "$WORK/inst"
