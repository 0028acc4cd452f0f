#!/usr/bin/env bash
# corvel-publish against the standard tools:
#  1. first publication of 1 GiB in 2,000 files vs a sequential loop of
#     md5sum plus bzip2 -9 -k per file;
#  2. republication after one file changed vs hashing the tree with md5sum
#     plus bzip2 -9 -k of that one file.
# Usage: bench/publish/run.sh [CORVEL_PUBLISH] [WORK_DIR]
# Defaults: the native-release build, a fresh directory under ${TMPDIR:-/tmp}.
set -euo pipefail
cd "$(dirname "$0")/../.."
publish=$(realpath "${1:-build/native-release/tools/publish/corvel-publish}")
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/publish-bench.XXXXXX")}
jobs=${JOBS:-2}
[ -x "$publish" ] || { echo "no corvel-publish at $publish (cmake --preset native-release && cmake --build build/native-release --target corvel-publish)" >&2; exit 1; }
client="$work/client"
server="$work/server"
loopout="$work/loop"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
smaller() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

if [ ! -f "$work/.generated" ]; then
  echo "generating 1 GiB in 2,000 files in $client"
  /usr/bin/python3 - "$client" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(2024)
count, total = 2000, 1 << 30
# Sizes spread over 4 kB .. 8 MB (log-uniform), scaled to exactly 1 GiB.
raw = [2 ** rng.uniform(12, 23) for _ in range(count)]
scale = total / sum(raw)
sizes = [max(1, int(s * scale)) for s in raw]
sizes[0] += total - sum(sizes)
# Game-like content: text, tables and random (already compressed) data.
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(4000)]
text = b" ".join(rng.choice(words) for _ in range(3_000_000))
table = b"".join(i.to_bytes(4, "little") * 3 + rng.randbytes(4) for i in range(1_000_000))
pools = [text, table]
for i, size in enumerate(sizes):
    rel = os.path.join("d%02d" % (i % 40), "s%d" % (i % 7), "file%04d.dat" % i)
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, rng.randint(64 << 10, 1 << 20))
            kind = rng.random()
            if kind < 0.4:
                f.write(rng.randbytes(n))
            else:
                pool = pools[0 if kind < 0.8 else 1]
                start = rng.randrange(0, len(pool) - n)
                f.write(pool[start:start + n])
            left -= n
PY
  touch "$work/.generated"
fi
mapfile -d '' files < <(cd "$client" && find . -type f -print0 | sort -z)
bytes=$(find "$client" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
echo "${#files[@]} files, $bytes bytes; $(nproc) cores; corvel-publish --jobs $jobs"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine skews the ratios)"
cat "$client"/*/*/* > /dev/null  # page cache warm for both sides

# Wall and CPU seconds (user + sys, children included) of a command:
# sets $wall and $cpu. Its output goes to $work/last.out, its stderr stays.
measure() {
  local t
  t=$( { TIMEFORMAT='%R %U %S'; time "$@" 2>&3 > "$work/last.out"; } 3>&2 2>&1 )
  wall=$(awk -v t="$t" 'BEGIN { split(t, a, " "); printf "%.2f", a[1] }')
  cpu=$(awk -v t="$t" 'BEGIN { split(t, a, " "); printf "%.2f", a[2] + a[3] }')
}

loop_publish() {
  for f in "${files[@]}"; do
    md5sum "$client/$f" > /dev/null
    mkdir -p "$loopout/$(dirname "$f")"
    bzip2 -9 -k -c "$client/$f" > "$loopout/$f.bz2"
  done
}

# 1. First publication.
rm -rf "$loopout" && mkdir -p "$loopout"
measure loop_publish
loop=$wall; loop_cpu=$cpu
rm -rf "$loopout" "$server"
measure "$publish" --jobs "$jobs" "$client" "$server"
first=$wall; first_cpu=$cpu
echo "first publication: corvel-publish ${first}s wall (${first_cpu}s CPU), md5sum+bzip2 loop ${loop}s wall (${loop_cpu}s CPU)"
echo "  wall ratio $(ratio "$first" "$loop") (target <= 0.6); CPU ratio $(ratio "$first_cpu" "$loop_cpu"); corvel-publish kept $(ratio "$first_cpu" "$first") cores busy"

# 2. Republication after one change: a file of about the mean size.
changed="$client/${files[1000]#./}"
size=$(stat -c %s "$changed")
one_change_baseline() {
  (cd "$client" && printf '%s\0' "${files[@]}" | xargs -0 md5sum > /dev/null)
  bzip2 -9 -k -c "$changed" > "$work/one.bz2"
}
best_re=""; best_base=""
for round in 1 2 3; do
  printf 'round %d' "$round" | dd of="$changed" bs=1 seek=$((size / 2)) conv=notrunc status=none
  measure "$publish" --jobs "$jobs" "$client" "$server"
  re=$wall
  grep -q " 1 compressed, " "$work/last.out" || { echo "expected one copy rewritten:" >&2; cat "$work/last.out" >&2; exit 1; }
  measure one_change_baseline
  base=$wall
  if [ -z "$best_re" ] || smaller "$re" "$best_re"; then best_re=$re; fi
  if [ -z "$best_base" ] || smaller "$base" "$best_base"; then best_base=$base; fi
done
echo "republication after one change ($size bytes): corvel-publish ${best_re}s, md5sum of the tree + bzip2 of the file ${best_base}s"
echo "  ratio $(ratio "$best_re" "$best_base") (target <= 1.2; best of 3)"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "work directory: $work (remove it when done)"
