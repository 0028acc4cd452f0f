#!/usr/bin/env bash
# Soak test of the WinInet backend under Wine: ROUNDS fresh installs of
# 3,000 small files (1..8 KiB) from nginx with its default keep-alive (a
# connection closes every 1,000 requests). Prints each round's wall time, the
# files installed and failed, and from nginx's log the longest gap between two
# requests and the longest request (a stalled transfer shows as either).
# Usage: bench/run_soak.sh [ROUNDS]   (WORK, NATIVE, WINDOWS override defaults)
source "$(dirname "$0")/run_lib.sh"
rounds=${1:-4}
publish=$NATIVE/tools/publish/corvel-publish
exe=$WINDOWS/tools/update/corvel-update.exe
mkdir -p "$WORK"
gen_files "$WORK/soak3k" 3000 30 1024 8192 7
[ -f "$WORK/srv-soak3k/files.lst.bz2" ] || "$publish" --jobs 2 "$WORK/soak3k" "$WORK/srv-soak3k" > /dev/null
start_nginx nginx-soak "    log_format t '\$msec \$request_time \$status \$connection \$request_uri';
    access_log @NGINX@/access.log t;"
wine cmd /c exit > /dev/null 2>&1 < /dev/null
d=$WORK/inst-soak
for r in $(seq "$rounds"); do
  rm -rf "$d" && mkdir -p "$d"
  : > "$NGINX/access.log"
  s=$(now)
  wine "$exe" --force --dir "$d" "http://127.0.0.1:$NPORT/srv-soak3k/" > "$WORK/soak.$r.log" 2>&1 < /dev/null
  e=$(now)
  sleep 1  # nginx writes its log line after the response
  printf 'round %d: %.1f s, installed %d, failed %d; ' "$r" "$(awk -v s="$s" -v e="$e" 'BEGIN { print e - s }')" \
    "$(grep -c '^installed ' "$WORK/soak.$r.log")" "$(grep -c '^failed ' "$WORK/soak.$r.log")"
  awk -v slow=-1 '{ if (NR > 1 && $1 - prev > gap) { gap = $1 - prev; at = $5 } prev = $1; if ($2 > slow) { slow = $2; sat = $5 }
         conn[$4] = 1; n++ }
       END { printf "%d requests on %d connections, longest gap %.3f s (before %s), longest request %.3f s (%s)\n",
             n, length(conn), gap, at, slow, sat }' "$NGINX/access.log"
done
rm -rf "$d"
