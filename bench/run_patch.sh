#!/usr/bin/env bash
# Applying a patch to a large file as the install does: MB/s of output per
# core (target >= 100) and the apply's peak RSS (target <= 32 MiB), for a
# SIZE_MIB file (default 1024) of zeros, random bytes and words with 1 MiB
# rewritten in 256 places.
set -euo pipefail
cd "$(dirname "$0")/.."
NATIVE=${NATIVE:-build/native-release}
WORK=${WORK:-${TMPDIR:-/tmp}/corvel-bench}/patch
SIZE=${1:-1024}
RUNS=${RUNS:-3}
mkdir -p "$WORK"
[ -f "$WORK/patch" ] && [ "$(stat -c %s "$WORK/old")" = $((SIZE << 20)) ] || "$NATIVE/bench/bench_patch" make "$WORK" "$SIZE"
for _ in $(seq "$RUNS"); do "$NATIVE/bench/bench_patch" apply "$WORK" | tail -n 1; done
rm -f "$WORK/out"
