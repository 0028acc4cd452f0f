#!/usr/bin/env bash
# corvel-update on a network, against curl with 8 parallel connections:
#  proxy  fresh install of 600 files of 4..64 KiB from nginx (connections
#         kept open) through bench/delay_proxy.py (25 ms each way, one more
#         round trip per new connection), vs
#         curl --parallel --parallel-immediate --parallel-max 8 + bzip2 -d on
#         2 cores; connections opened by each; and vs curl on 8 connections
#         fetching only (what 8 connections can do at best)
#  h2     the same install from nginx over TLS offering HTTP/2 (a self-signed
#         certificate for 127.0.0.1), through the same delay (the proxy
#         passes TLS through), vs the same HTTP/1.1 curl reference; and vs
#         curl fetching the objects only over HTTP/2 (--parallel-max 64); connections
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
what=("$@"); [ ${#what[@]} -gt 0 ] || what=(proxy h2 loop wine)
has() { local w; for w in "${what[@]}"; do [ "$w" = "$1" ] && return 0; done; return 1; }
mkdir -p "$WORK"

python3 "$ROOT/bench/run_gendata.py" "$WORK" net600 tree512
for t in net600 tree512; do
  [ -f "$WORK/srv-$t/files.lst.bz2" ] || "$publish" --jobs 2 "$WORK/$t" "$WORK/srv-$t" > /dev/null
done

# nginx keeping connections open, serving WORK; for h2 also over TLS on TPORT.
tls_server=""
if has h2; then
  [ -s "$WORK/tls.key" ] || openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 365 \
    -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout "$WORK/tls.key" -out "$WORK/tls.pem" 2> /dev/null
  TPORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  tls_server="server { listen 127.0.0.1:$TPORT ssl http2; root $WORK;
      ssl_certificate $WORK/tls.pem; ssl_certificate_key $WORK/tls.key; }"
fi
start_nginx nginx "    access_log off;
    keepalive_timeout 75s;
    keepalive_requests 100000;
    $tls_server"

# start_proxy UPSTREAM_PORT NAME: the delay proxy in front of a port; sets PPORT.
start_proxy() {
  rm -f "$WORK/$2.port"
  python3 "$ROOT/bench/delay_proxy.py" "$1" "$WORK/$2.port" &
  SERVER_PIDS+=("$!")
  for _ in $(seq 50); do [ -s "$WORK/$2.port" ] && break; sleep 0.1; done
  PPORT=$(cat "$WORK/$2.port")
}
d=$WORK/inst-net
# curl's work list for 600 files through a proxy URL: every copy the list
# names, into the same tree.
net600_list() {
  (cd "$WORK/net600" && find d* -type f | sort) | awk -v u="$1" -v d="$d" \
    '{ printf "url = \"%s/%s.bz2\"\noutput = \"%s/%s.bz2\"\n", u, $0, d, $0 }' > "$2"
}
verify_net600() {
  (cd "$WORK/net600" && find d* -type f -print0 | xargs -0 md5sum) | (cd "$d" && md5sum -c --quiet) && echo "    $1 tree verified"
}
if has proxy || has h2; then
  start_proxy "$NPORT" proxy; url=http://127.0.0.1:$PPORT/srv-net600
  net600_list "$url" "$WORK/net600.curl"
  curlcmd="curl -s --create-dirs --parallel --parallel-immediate --parallel-max 8 -K $WORK/net600.curl && find $d -name '*.bz2' -print0 | xargs -0 -P 2 -n 50 bzip2 -d"
fi

echo "== network benchmarks, $(date -u '+%F %H:%M UTC'), $(nproc) cores"

if has proxy; then
  pair "fresh install 600 files, 50 ms" 1.0 "$update --force --dir $d $url/" "$curlcmd" "rm -rf $d && mkdir -p $d"
  # The floor of kFetchConnections = 8: curl on as many connections, fetching
  # only (each connection waits a round trip per request; nothing pipelines).
  curl8="curl -s --create-dirs --parallel --parallel-immediate --parallel-max 8 -K $WORK/net600.curl"
  pair "same vs curl -Z 8, fetch only" "-" "$update --force --dir $d $url/" "$curl8" "rm -rf $d && mkdir -p $d"
  count() { cat "$WORK/proxy.port.count"; }
  rm -rf "$d" && mkdir -p "$d"; c0=$(count); "$update" --force --dir "$d" "$url/" > /dev/null; c1=$(count)
  verify_net600 "corvel-update's"
  rm -rf "$d" && mkdir -p "$d"; bash -c "$curlcmd" > /dev/null 2>&1; c2=$(count)
  verify_net600 "curl's"
  echo "connections: corvel-update $((c1 - c0)) for $(wc -l < "$WORK/srv-net600/files.lst") list lines, curl $((c2 - c1))"
  rm -rf "$d"
fi

if has h2; then
  start_proxy "$TPORT" proxy-tls; h2url=https://127.0.0.1:$PPORT/srv-net600
  net600_list "$h2url" "$WORK/net600-h2.curl"
  ours="CURL_CA_BUNDLE=$WORK/tls.pem $update --force --dir $d $h2url/"
  pair "HTTP/2 600 files vs HTTP/1.1 curl" 0.2 "$ours" "$curlcmd" "rm -rf $d && mkdir -p $d"
  # The objects the install fetches (the publication names them), 64 streams
  # in flight, decoding nothing.
  (cd "$WORK/net600" && find d* -type f -print0 | xargs -0 md5sum) | sort -u -k1,1 | awk -v u="$h2url" -v d="$d" \
    '{ printf "url = \"%s/objects/%s/%s.zst\"\noutput = \"%s/%s.zst\"\n", u, substr($1, 1, 2), $1, d, $1 }' \
    > "$WORK/net600-h2-objects.curl"
  curlh2="curl -s --cacert $WORK/tls.pem --create-dirs --parallel --parallel-immediate --parallel-max 64 -K $WORK/net600-h2-objects.curl"
  pair "same vs curl HTTP/2 -Z 64 of the objects, fetch only" 1.0 "$ours" "$curlh2" "rm -rf $d && mkdir -p $d"
  count() { cat "$WORK/proxy-tls.port.count"; }
  rm -rf "$d" && mkdir -p "$d"; c0=$(count); bash -c "$ours" > /dev/null; c1=$(count)
  verify_net600 "corvel-update's HTTP/2"
  echo "connections over TLS: corvel-update $((c1 - c0))"
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
