# Shared helpers for bench/run_*.sh (sourced, not run).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=${WORK:-${TMPDIR:-/tmp}/corvel-bench}
RUNS=${RUNS:-3}
NATIVE=${NATIVE:-$ROOT/build/native-release}
WINDOWS=${WINDOWS:-$ROOT/build/windows-release}
export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-corvel} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

now() { date +%s.%N; }
# best_of "command": runs it RUNS times through bash (BEFORE, if set, runs
# first each time, untimed); prints the best wall time and the best CPU time
# (user + system of the command and its children), in seconds. CPU time is the
# steadier figure on a shared machine.
best_of() {
  local bw="" bc="" w c out
  for _ in $(seq "$RUNS"); do
    [ -n "${BEFORE:-}" ] && bash -c "$BEFORE"
    # Through a file, not a pipe: Wine's background processes inherit and
    # keep open whatever descriptors the first wine command had.
    { TIMEFORMAT='%R %U %S'; time bash -c "$1" > /dev/null 2> "$WORK/.err"; } 2> "$WORK/.time"
    out=$(tail -1 "$WORK/.time")
    w=$(awk '{ print $1 }' <<< "$out"); c=$(awk '{ printf "%.3f", $2 + $3 }' <<< "$out")
    if [ -z "$bw" ] || awk -v a="$w" -v b="$bw" 'BEGIN { exit !(a < b) }'; then bw=$w; fi
    if [ -z "$bc" ] || awk -v a="$c" -v b="$bc" 'BEGIN { exit !(a < b) }'; then bc=$c; fi
  done
  echo "$bw $bc"
}
# report NAME TARGET "ours" "theirs": times both, prints the ratios.
report() {
  local name=$1 target=$2 ours=$3 theirs=$4 a b
  a=($(best_of "$ours")); b=($(best_of "$theirs"))
  printf '%-30s wall %7.2f / %7.2f s = %.3f   cpu %7.2f / %7.2f s = %.3f   (target <= %s)  load %s\n' \
    "$name" "${a[0]}" "${b[0]}" "$(awk -v a="${a[0]}" -v b="${b[0]}" 'BEGIN { print a / b }')" \
    "${a[1]}" "${b[1]}" "$(awk -v a="${a[1]}" -v b="${b[1]}" 'BEGIN { print a / b }')" \
    "$target" "$(cut -d' ' -f1-3 /proc/loadavg)"
  printf '    ours: %s\n    ref:  %s\n' "$ours" "$theirs"
}
# serve DIR: a threading http.server on a free loopback port; sets PORT.
serve() {
  PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  python3 -m http.server --bind 127.0.0.1 --directory "$1" "$PORT" > "$WORK/server-$PORT.log" 2>&1 &
  SERVER_PIDS+=("$!")
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$PORT/" && return; sleep 0.1; done
  echo "server on $1 did not start" >&2; exit 1
}
SERVER_PIDS=()
stop_servers() { for p in "${SERVER_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap stop_servers EXIT
# gen_files DIR COUNT DIRS MIN MAX SEED: COUNT files of MIN..MAX random bytes
# spread over DIRS directories, made once (DIR.done marks it).
gen_files() {
  python3 - "$@" <<'PY'
import os, random, sys
root = sys.argv[1]
count, dirs, low, high, seed = map(int, sys.argv[2:7])
if not os.path.exists(root + ".done"):
    rng = random.Random(seed)
    for i in range(count):
        p = os.path.join(root, "d%02d" % (i % dirs), "f%04d.txt" % i)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(rng.randbytes(rng.randint(low, high)))
    open(root + ".done", "w").close()
PY
}
# start_nginx NAME HTTP_LINES: nginx (one worker) serving WORK on a free
# loopback port, its files in WORK/NAME, HTTP_LINES added to its http block
# (logging, keep-alive; @NGINX@ stands for its directory); sets NGINX and
# NPORT and waits until it answers.
start_nginx() {
  NGINX=$WORK/$1; mkdir -p "$NGINX"
  NPORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  cat > "$NGINX/nginx.conf" <<CONF
$([ "$(id -u)" = 0 ] && echo "user root;")
worker_processes 1;
pid $NGINX/nginx.pid;
error_log $NGINX/error.log;
events { worker_connections 256; }
http {
${2//@NGINX@/$NGINX}
    client_body_temp_path $NGINX/body; proxy_temp_path $NGINX/proxy; fastcgi_temp_path $NGINX/fastcgi;
    uwsgi_temp_path $NGINX/uwsgi; scgi_temp_path $NGINX/scgi;
    default_type application/octet-stream;
    server { listen 127.0.0.1:$NPORT; root $WORK; }
}
CONF
  nginx -e "$NGINX/error.log" -c "$NGINX/nginx.conf" -p "$NGINX/" -g "daemon off;" &
  SERVER_PIDS+=("$!")
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$NPORT/" && return; sleep 0.1; done
  echo "nginx did not start" >&2; exit 1
}
# time_of "command": wall seconds of one run; output to files (under Wine a
# console program writing to /dev/null runs as if on a terminal).
time_of() {
  local s e; s=$(now); bash -c "$1" > "$WORK/.out" 2> "$WORK/.err" < /dev/null || {
    echo "failed: $1" >&2; tail -5 "$WORK/.out" "$WORK/.err" >&2; }
  e=$(now); awk -v s="$s" -v e="$e" 'BEGIN { printf "%.3f", e - s }'
}
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
# pair NAME TARGET "ours" "theirs" [BEFORE]: alternating runs (BEFORE, untimed,
# before each), the medians of the wall times and their ratio.
pair() {
  local name=$1 target=$2 ours=$3 theirs=$4 before=${5:-true} a=() b=() i
  for i in $(seq "$RUNS"); do
    bash -c "$before"; a+=("$(time_of "$ours")")
    grep -q '^failed\|^error' "$WORK/.out" && echo "ours reported failures: $(grep -c '^failed' "$WORK/.out")" >&2
    bash -c "$before"; b+=("$(time_of "$theirs")")
  done
  local ma mb; ma=$(median "${a[@]}"); mb=$(median "${b[@]}")
  printf '%-34s median %7.2f / %7.2f s = %.3f   (target <= %s; runs: %s / %s)  load %s\n' "$name" "$ma" "$mb" \
    "$(awk -v a="$ma" -v b="$mb" 'BEGIN { print a / b }')" "$target" "${a[*]}" "${b[*]}" "$(cut -d' ' -f1-3 /proc/loadavg)"
  printf '    ours: %s\n    ref:  %s\n' "$ours" "$theirs"
}
