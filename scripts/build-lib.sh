# Shared by scripts/test and scripts/tsan: build a preset and run its tests
# into build/<preset>/test-results for scripts/summarize.py. Expects root
# (the checkout) and jobs to be set.

# Builds a preset (all targets, or the ones named). The filter only drops
# progress lines; the status returned is the build's own.
build() {
  local preset=$1; shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build "build/$preset" -j "$jobs" "${targets[@]}" 2>&1 | { grep -vE '^\[[0-9]+/[0-9]+\] ' || true; }
  return "${PIPESTATUS[0]}"
}
# run_tests PRESET [RUNNER...] [-- CTEST ARGS...]
run_tests() {
  local preset=$1; shift
  rm -rf "build/$preset/test-results"
  mkdir -p "build/$preset/test-results"
  echo "== test $preset"
  local runner=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do runner+=("$1"); shift; done
  [ "${1:-}" = "--" ] && shift
  # Two at a time on two cores: most tests wait on servers and deadlines.
  # Tests that need the display or both cores say so (RESOURCE_LOCK, PROCESSORS).
  "${runner[@]}" ctest --preset "$preset" --parallel "$jobs" --output-junit "$root/build/$preset/test-results/ctest.xml" --timeout 900 "$@"
}
