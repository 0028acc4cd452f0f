#!/usr/bin/env bash
# corvel-update.exe under Wine against the native corvel-update, per request
# and per file, from nginx on loopback with connections kept open:
#  small  fresh install of 512 small files (1..16 KiB)
#  real   fresh install of a real tree: 22,000 documentation and Python files
#         (~180 MB) copied from this machine by gen_realtree.py
#  http   bench_http.exe: the 512 small copies fetched over one kept
#         connection through WinInet and through WinHTTP, per request (and
#         natively by one curl)
#  soak   RUNS Wine fresh installs of the real tree, each with the longest gap
#         between two requests and the longest request from nginx's log (a
#         stalled transfer shows as either); KEEPALIVE=1000 makes nginx close
#         each connection after 1,000 requests as by default
#  tally  one Wine fresh install of each tree with wineserver's request trace:
#         requests by kind, per file (the trace runs under a wineserver of
#         its own, started here in WINEPREFIX and stopped afterwards), and
#         of bench_http's requests through each library alone; TALLY
#         names the trees, KEEP_TRACE=1 keeps WORK/server.trace)
# Each pair runs alternately RUNS times (default 3); the median is reported.
# Usage: bench/run_wine.sh [small|real|http|soak|tally]...   (WORK, NATIVE, WINDOWS, RUNS)
source "$(dirname "$0")/run_lib.sh"
update=$NATIVE/tools/update/corvel-update
publish=$NATIVE/tools/publish/corvel-publish
exe=$WINDOWS/tools/update/corvel-update.exe
what=("$@"); [ ${#what[@]} -gt 0 ] || what=(small real)
has() { local w; for w in "${what[@]}"; do [ "$w" = "$1" ] && return 0; done; return 1; }
mkdir -p "$WORK"

gen_files "$WORK/small512" 512 16 1024 16384 512
python3 "$ROOT/bench/gen_realtree.py" "$WORK/real22k"
for t in small512 real22k; do
  [ -f "$WORK/srv-$t/files.lst.bz2" ] || "$publish" --jobs 2 "$WORK/$t" "$WORK/srv-$t" > /dev/null
done

start_nginx nginx-wine "    log_format t '\$msec \$request_time \$status \$connection \$request_uri';
    access_log @NGINX@/access.log t;
    keepalive_timeout 75s;
    keepalive_requests ${KEEPALIVE:-100000};"

echo "== Wine per-request benchmarks, $(date -u '+%F %H:%M UTC'), $(nproc) cores, $(cat "$WORK/real22k.done")"

d=$WORK/inst-wine
if has small || has real; then
  wine cmd /c exit > /dev/null 2>&1 < /dev/null  # start Wine's services before timing
fi
if has small; then
  url=http://127.0.0.1:$NPORT/srv-small512
  pair "wine fresh install 512 small" 1.5 "wine $exe --force --dir $d $url/" "$update --force --dir $d $url/" \
    "rm -rf $d && mkdir -p $d"
fi
if has real; then
  url=http://127.0.0.1:$NPORT/srv-real22k
  pair "wine fresh install 22,000 real" 3 "wine $exe --force --dir $d $url/" "$update --force --dir $d $url/" \
    "rm -rf $d && mkdir -p $d"
  (cd "$WORK/real22k" && find . -type f -print0 | xargs -0 md5sum) | (cd "$d" && md5sum -c --quiet) &&
    echo "    last tree verified"
fi

if has http && [ -x "$WINDOWS/bench/bench_http.exe" ]; then
  wine cmd /c exit > /dev/null 2>&1 < /dev/null
  (cd "$WORK/srv-small512" && find d* -name '*.bz2' | sort | sed 's|^|/srv-small512/|') > "$WORK/small512.paths"
  wine "$WINDOWS/bench/bench_http.exe" 127.0.0.1 "$NPORT" 'Z:'"$(echo "$WORK/small512.paths" | tr / '\\')" "$RUNS" \
    > "$WORK/.out" 2>&1 < /dev/null || echo "bench_http failed" >&2
  echo "WinInet against WinHTTP, 512 small copies on one kept connection, best of $RUNS, load $(cut -d' ' -f1-3 /proc/loadavg):"
  sed 's/^/    /' "$WORK/.out"
  # The same requests natively: one curl on one kept connection.
  sed "s|^|url = \"http://127.0.0.1:$NPORT|; s|\$|\"\\noutput = \"/dev/null\"|" "$WORK/small512.paths" > "$WORK/small512.curl"
  s=$(now); curl -s -K "$WORK/small512.curl"; e=$(now)
  awk -v s="$s" -v e="$e" 'BEGIN { printf "    curl     512 requests natively, %.3f s, %.1f us per request\n", e - s, (e - s) * 1e6 / 512 }'
fi

if has soak; then
  wine cmd /c exit > /dev/null 2>&1 < /dev/null
  for r in $(seq "$RUNS"); do
    rm -rf "$d" && mkdir -p "$d"
    : > "$NGINX/access.log"
    s=$(now)
    wine "$exe" --force --dir "$d" "http://127.0.0.1:$NPORT/srv-real22k/" > "$WORK/soak.$r.log" 2>&1 < /dev/null ||
      echo "exit status $?"
    e=$(now)
    sleep 1  # nginx writes its log line after the response
    printf 'soak %d: %.1f s, installed %d, failed %d; ' "$r" "$(awk -v s="$s" -v e="$e" 'BEGIN { print e - s }')" \
      "$(grep -c '^installed ' "$WORK/soak.$r.log" || true)" "$(grep -c '^failed ' "$WORK/soak.$r.log" || true)"
    awk -v slow=-1 '{ if (NR > 1 && $1 - prev > gap) { gap = $1 - prev; at = $5 } prev = $1
           if ($2 > slow) { slow = $2; sat = $5 } conn[$4] = 1; n++ }
         END { printf "%d requests on %d connections, longest gap %.3f s (before %s), longest request %.3f s (%s)\n",
               n, length(conn), gap, at, slow, sat }' "$NGINX/access.log"
  done
fi

if has tally; then
  trace=$WORK/server.trace
  wineserver -k > /dev/null 2>&1 || true
  sleep 1
  : > "$trace"
  wineserver -f -p -d1 2>> "$trace" &
  WS=$!
  wine cmd /c exit > /dev/null 2>&1 < /dev/null
  # counts FROM TO N: requests in the trace between two offsets, by kind and per N.
  # Requests are "tid: name( args )"; replies "tid: name() = ...".
  counts() {
    tail -c +"$(($1 + 1))" "$trace" | head -c "$(($2 - $1))" |
      awk -v n="$3" 'match($0, /^[0-9a-f]+: [a-z_]+\( /) { split(substr($0, RSTART, RLENGTH), p, /[: (]+/); c[p[2]]++; all++ }
        END { printf "    %d requests, %.1f per file\n", all, all / n;
              for (k in c) if (c[k] >= n / 20) printf "    %8d %6.2f  %s\n", c[k], c[k] / n, k }' | sort -k1,1nr
  }
  for t in ${TALLY:-small512 real22k}; do
    rm -rf "$d" && mkdir -p "$d"
    files=$(grep -c . "$WORK/srv-$t/files.lst" || true)
    sleep 2
    from=$(stat -c %s "$trace")
    s=$(now)
    wine "$exe" --force --dir "$d" "http://127.0.0.1:$NPORT/srv-$t/" > "$WORK/.out" 2>&1 < /dev/null || echo "exit status $?"
    e=$(now)
    printf '%s: %d list lines, %.2f s with the trace, %d installed\n' "$t" "$files" \
      "$(awk -v s="$s" -v e="$e" 'BEGIN { print e - s }')" "$(grep -c '^installed ' "$WORK/.out" || true)"
    counts "$from" "$(stat -c %s "$trace")" "$files"
  done
  if [ -x "$WINDOWS/bench/bench_http.exe" ]; then
    (cd "$WORK/srv-small512" && find d* -name '*.bz2' | sort | sed 's|^|/srv-small512/|') > "$WORK/small512.paths"
    for lib in wininet winhttp; do
      sleep 2
      from=$(stat -c %s "$trace")
      wine "$WINDOWS/bench/bench_http.exe" 127.0.0.1 "$NPORT" 'Z:'"$(echo "$WORK/small512.paths" | tr / '\\')" 1 "$lib" \
        > "$WORK/.out" 2>&1 < /dev/null || echo "bench_http failed"
      echo "bench_http $lib, 512 requests on one kept connection: $(cat "$WORK/.out")"
      counts "$from" "$(stat -c %s "$trace")" 512
    done
  fi
  wineserver -k > /dev/null 2>&1 || true
  wait "$WS" 2> /dev/null || true
  [ -n "${KEEP_TRACE:-}" ] || rm -f "$trace"
fi
rm -rf "$d"
