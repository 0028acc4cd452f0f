#!/usr/bin/env bash
# FileDigest vs md5sum (1 GiB, warm cache) and TBZDecompressionStream vs
# bzip2 -dc (256 MiB), natively and under Wine. Best of RUNS (3) each.
# Usage: bench/run_formats.sh   (WORK, NATIVE, WINDOWS, RUNS override defaults)
source "$(dirname "$0")/run_lib.sh"
python3 "$ROOT/bench/run_gendata.py" "$WORK" big1g mix256
big=$WORK/data/big1g.bin; mix=$WORK/data/mix256.bin
cat "$big" "$mix.bz2" > /dev/null  # warm the cache
echo "== formats benchmarks, $(date -u '+%F %H:%M UTC'), $(nproc) cores"
report "md5 native" 1.05 "$NATIVE/bench/bench_md5 $big" "md5sum $big"
report "decode native" 1.05 "$NATIVE/bench/bench_decode $mix.bz2 $WORK/out.dec" "bzip2 -dc $mix.bz2 > $WORK/out.ref"
cmp "$WORK/out.dec" "$mix" && cmp "$WORK/out.ref" "$mix"
if [ -x "$WINDOWS/bench/bench_md5.exe" ]; then
  wine "$WINDOWS/bench/bench_md5.exe" "$big" > /dev/null 2>&1 < /dev/null  # start Wine and its services before timing
  report "md5 wine" 1.05 "wine $WINDOWS/bench/bench_md5.exe $big" "md5sum $big"
  report "decode wine" 1.05 "wine $WINDOWS/bench/bench_decode.exe $mix.bz2 $WORK/out.dec" "bzip2 -dc $mix.bz2 > $WORK/out.ref"
  cmp "$WORK/out.dec" "$mix"
  echo "wine start-up alone: $(best_of "wine cmd /c exit") s"
  echo "in-process times (wine): md5 $(wine "$WINDOWS/bench/bench_md5.exe" "$big" | tail -1), decode $(wine "$WINDOWS/bench/bench_decode.exe" "$mix.bz2" "$WORK/out.dec" | tail -1)"
fi
rm -f "$WORK/out.dec" "$WORK/out.ref"
