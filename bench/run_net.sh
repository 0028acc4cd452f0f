#!/usr/bin/env bash
# corvel-update on a network, against curl with 8 parallel connections:
#  proxy  fresh install of 600 files of 4..64 KiB from nginx (connections
#         kept open) through bench/delay_proxy.py (25 ms each way, one more
#         round trip per new connection), vs
#         curl --parallel --parallel-immediate --parallel-max 8 + bzip2 -d on
#         2 cores; connections opened by each; and vs curl on 4 connections
#         fetching only (what 4 connections can do at best)
#  loop   fresh install of 256 MiB in 512 files from nginx on loopback, native,
#         vs a per-file loop of curl | bzip2 -d, and vs
#         curl -Z --parallel-max 8 + bzip2 -d on 2 cores; peak RSS of ours
#  wine   fresh install of 256 MiB in 512 files from nginx on loopback:
#         corvel-update.exe under Wine vs the native corvel-update, and the
#         bytes Wine's URL cache holds after the run
# Each pair runs alternately RUNS times (default 3); the median is reported.
# Usage: bench/run_net.sh [proxy|loop|wine]...   (WORK, NATIVE, WINDOWS, RUNS)
source "$(dirname "$0")/run_lib.sh"
update=$NATIVE/tools/update/corvel-update
publish=$NATIVE/tools/publish/corvel-publish
what=("$@"); [ ${#what[@]} -gt 0 ] || what=(proxy loop wine)
has() { local w; for w in "${what[@]}"; do [ "$w" = "$1" ] && return 0; done; return 1; }
mkdir -p "$WORK"

python3 "$ROOT/bench/run_gendata.py" "$WORK" net600 tree512
for t in net600 tree512; do
  [ -f "$WORK/srv-$t/files.lst.bz2" ] || "$publish" --jobs 2 "$WORK/$t" "$WORK/srv-$t" > /dev/null
done

# nginx keeping connections open, serving WORK.
start_nginx nginx "    access_log off;
    keepalive_timeout 75s;
    keepalive_requests 100000;"

echo "== network benchmarks, $(date -u '+%F %H:%M UTC'), $(nproc) cores"

if has proxy; then
  rm -f "$WORK/proxy.port"
  python3 "$ROOT/bench/delay_proxy.py" "$NPORT" "$WORK/proxy.port" &
  SERVER_PIDS+=("$!")
  for _ in $(seq 50); do [ -s "$WORK/proxy.port" ] && break; sleep 0.1; done
  PPORT=$(cat "$WORK/proxy.port"); url=http://127.0.0.1:$PPORT/srv-net600
  d=$WORK/inst-net
  # curl's work list: every copy the list names, into the same tree.
  (cd "$WORK/net600" && find d* -type f | sort) | awk -v u="$url" -v d="$d" \
    '{ printf "url = \"%s/%s.bz2\"\noutput = \"%s/%s.bz2\"\n", u, $0, d, $0 }' > "$WORK/net600.curl"
  curlcmd="curl -s --create-dirs --parallel --parallel-immediate --parallel-max 8 -K $WORK/net600.curl && find $d -name '*.bz2' -print0 | xargs -0 -P 2 -n 50 bzip2 -d"
  pair "fresh install 600 files, 50 ms" 1.3 "$update --force --dir $d $url/" "$curlcmd" "rm -rf $d && mkdir -p $d"
  # The floor of kFetchConnections = 4: curl on as many connections, fetching
  # only (each connection waits a round trip per request; nothing pipelines).
  curl4="curl -s --create-dirs --parallel --parallel-immediate --parallel-max 4 -K $WORK/net600.curl"
  pair "same vs curl -Z 4, fetch only" "-" "$update --force --dir $d $url/" "$curl4" "rm -rf $d && mkdir -p $d"
  count() { cat "$WORK/proxy.port.count"; }
  rm -rf "$d" && mkdir -p "$d"; c0=$(count); "$update" --force --dir "$d" "$url/" > /dev/null; c1=$(count)
  rm -rf "$d" && mkdir -p "$d"; bash -c "$curlcmd" > /dev/null 2>&1; c2=$(count)
  (cd "$WORK/net600" && find d* -type f -print0 | xargs -0 md5sum) | (cd "$d" && md5sum -c --quiet) && echo "    curl's tree verified"
  echo "connections: corvel-update $((c1 - c0)) for $(wc -l < "$WORK/srv-net600/files.lst") list lines, curl $((c2 - c1))"
  rm -rf "$d"
fi

if has loop; then
  url=http://127.0.0.1:$NPORT/srv-tree512; d=$WORK/inst-512
  (cd "$WORK/tree512" && find d* -type f | sort) > "$WORK/tree512.txt"
  awk -v u="$url" -v d="$d" '{ printf "url = \"%s/%s.bz2\"\noutput = \"%s/%s.bz2\"\n", u, $0, d, $0 }' \
    "$WORK/tree512.txt" > "$WORK/tree512.curl"
  loop="while read -r f; do mkdir -p $d/\$(dirname \$f); curl -s $url/\$f.bz2 | bzip2 -d > $d/\$f; done < $WORK/tree512.txt"
  par="curl -s --create-dirs -Z --parallel-max 8 -K $WORK/tree512.curl && find $d -name '*.bz2' -print0 | xargs -0 -P 2 -n 16 bzip2 -d"
  pair "fresh install 256 MiB / 512 vs loop" 0.6 "$update --force --dir $d $url/" "$loop" "rm -rf $d && mkdir -p $d"
  pair "fresh install 256 MiB / 512 vs -Z 8" 1.1 "$update --force --dir $d $url/" "$par" "rm -rf $d && mkdir -p $d"
  rm -rf "$d" && mkdir -p "$d"
  /usr/bin/time -v "$update" --force --dir "$d" "$url/" > "$WORK/.out" 2> "$WORK/.time" || cat "$WORK/.time" >&2
  echo "peak RSS fresh install 256 MiB / 512: $(awk -F': ' '/Maximum resident/ { printf "%.1f MiB", $2 / 1024 }' "$WORK/.time") (target <= 32 MiB)"
  (cd "$WORK/tree512" && find d* -type f -print0 | xargs -0 md5sum) | (cd "$d" && md5sum -c --quiet) && echo "    installed tree verified"
  rm -rf "$d"
fi

if has wine && [ -x "$WINDOWS/tools/update/corvel-update.exe" ]; then
  wine cmd /c exit > /dev/null 2>&1 < /dev/null  # start Wine's services before timing
  exe=$WINDOWS/tools/update/corvel-update.exe
  url=http://127.0.0.1:$NPORT/srv-tree512; d=$WORK/inst-512
  cache=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Microsoft/Windows/INetCache
  cache_bytes() { du -sb "$cache" 2> /dev/null | cut -f1 || echo 0; }
  c0=$(cache_bytes)
  pair "wine fresh install 256 MiB / 512" 1.5 "wine $exe --force --dir $d $url/" "$update --force --dir $d $url/" \
    "rm -rf $d && mkdir -p $d"
  echo "URL cache: ${c0:-0} bytes before, $(cache_bytes) bytes after $RUNS Wine installs of 256 MiB ($cache)"
  rm -rf "$d"
fi
