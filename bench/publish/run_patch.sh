#!/usr/bin/env bash
# Patch generation by corvel-publish against the zstd tool, on a game-like
# archive: 48 MiB of uncompressed records; the next version has 64 KiB
# inserted at its front and 1 MiB of its records rewritten (256 records of
# 4 KiB spread over the file). Prints, for the republication, the patch
# and whole-copy sizes, wall time and peak memory (/usr/bin/time -v) of
#  1. corvel-publish --patch-history 3 (copy + patch),
#  2. corvel-publish --patch-history 0 (copy only), so 1 - 2 is the patch,
#  3. zstd -19 --long --patch-from of the same two files.
# Usage: bench/publish/run_patch.sh [CORVEL_PUBLISH] [WORK_DIR]
# Defaults: the native-release build, a fresh directory under ${TMPDIR:-/tmp}.
set -euo pipefail
cd "$(dirname "$0")/../.."
publish=$(realpath "${1:-build/native-release/tools/publish/corvel-publish}")
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/patch-bench.XXXXXX")}
[ -x "$publish" ] || { echo "no corvel-publish at $publish (cmake --preset native-release && cmake --build build/native-release --target corvel-publish)" >&2; exit 1; }
mkdir -p "$work"

/usr/bin/python3 - "$work" <<'PY'
import os, random, sys
work = sys.argv[1]
rng = random.Random(48)
# Records of 4 KiB: an id, a few numbers, a name and a description from a
# small vocabulary, padded; what an uncompressed asset archive holds.
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 9))) for _ in range(3000)]
def record(i, salt):
    r = random.Random(i * 7919 + salt)
    head = b"REC%08d" % i + b"".join(r.getrandbits(32).to_bytes(4, "little") for _ in range(16))
    body = b" ".join(r.choice(words) for _ in range(600))
    return (head + body + b"\0" * 4096)[:4096]
count = 48 * 1024 * 1024 // 4096
v1 = [record(i, 0) for i in range(count)]
v2 = list(v1)
for i in random.Random(2).sample(range(count), 256):  # 256 x 4 KiB = 1 MiB rewritten
    v2[i] = record(i, 1)
front = bytes(random.Random(3).getrandbits(8) for _ in range(64 * 1024))
for name, data in (("v1", b"".join(v1)), ("v2", front + b"".join(v2))):
    with open(os.path.join(work, name + ".pak"), "wb") as f:
        f.write(data)
PY

# measure LABEL COMMAND...: wall seconds and peak resident MiB of one run.
measure() {
  local label=$1; shift
  /usr/bin/time -v "$@" > "$work/$label.out" 2> "$work/$label.time"
  awk -v l="$label" -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = t[n] + (n > 1 ? t[n-1] * 60 : 0) }
    /Maximum resident set size/ { m = $2 / 1024 } END { printf "%-28s %7.2f s %8.1f MiB\n", l, s, m }' "$work/$label.time"
}

for history in 3 0; do
  rm -rf "$work/client" "$work/server.$history"
  mkdir -p "$work/client/data"
  cp "$work/v1.pak" "$work/client/data/archive.pak"
  "$publish" --jobs 2 --patch-history "$history" "$work/client" "$work/server.$history" > /dev/null
  cp "$work/v2.pak" "$work/client/data/archive.pak"
  measure "publish (history $history)" "$publish" --jobs 2 --patch-history "$history" "$work/client" "$work/server.$history"
done
measure "zstd -19 --long --patch-from" zstd -q -f -19 --long=31 --patch-from="$work/v1.pak" "$work/v2.pak" -o "$work/ref.zst"

copy=$(stat -c %s "$work/server.3/data/archive.pak.bz2")
patch=$(find "$work/server.3/patches" -name '*.zst' -printf '%s\n' 2>/dev/null | head -n 1)
ref=$(stat -c %s "$work/ref.zst")
echo "whole copy (bzip2): $copy bytes; patch: ${patch:-none} bytes; zstd tool's patch: $ref bytes"
[ -n "$patch" ] && awk -v p="$patch" -v c="$copy" -v r="$ref" 'BEGIN { printf "patch / copy = %.4f, patch / zstd tool = %.3f\n", p / c, p / r }'
echo "work files in $work (delete when done)"
