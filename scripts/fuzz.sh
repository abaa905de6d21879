#!/usr/bin/env bash
# Builds the libFuzzer targets (AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs each for a while, starting from its seed corpus.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS defaults to 60 per target; TARGET is any of those listed in
# tests/fuzz/targets.txt (default: all, one after another). The seed corpus
# in tests/fuzz/corpus/<target> is copied into a scratch working corpus, so
# runs leave the tree clean. Any finding (a failed property, a sanitizer
# report, a leak, a timeout) fails the script; the reproducer is kept under
# $BUILD/findings/<target>/ and can be replayed with
#   $BUILD/tests/fuzz/fuzz_<target> <file>
# (every test build replays the committed corpus as well: ctest -R fuzz.replay).
#
# Environment: KELHASH_FUZZ_BUILD (build directory, default build-fuzz),
# KELHASH_FUZZ_CC / KELHASH_FUZZ_CXX (default clang-14 / clang++-14),
# KELHASH_FUZZ_ARGS (extra libFuzzer arguments).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true

# The targets and the longest input the fuzzer makes for each.
declare -A max_len=()
known=()
while read -r name len _; do
  case "$name" in '' | \#*) continue ;; esac
  known+=("$name")
  max_len[$name]=$len
done < tests/fuzz/targets.txt

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${known[@]}")
for t in "${targets[@]}"; do
  if [ -z "${max_len[$t]:-}" ]; then
    echo "fuzz: unknown target $t (tests/fuzz/targets.txt lists ${known[*]})" >&2
    exit 2
  fi
done

build=${KELHASH_FUZZ_BUILD:-build-fuzz}
cc=${KELHASH_FUZZ_CC:-clang-14}
cxx=${KELHASH_FUZZ_CXX:-clang++-14}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DKELHASH_BUILD_FUZZERS=ON -DKELHASH_BUILD_TESTS=OFF \
    -DKELHASH_BUILD_TOOLS=OFF -DKELHASH_INSTALL=OFF \
    -DKELHASH_WERROR=ON -DKELHASH_SANITIZE=address,undefined
fi
cmake --build "$build" --target $(printf 'fuzz_%s ' "${targets[@]}")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelhash-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for t in "${targets[@]}"; do
  work="$scratch/$t"
  findings="$build/findings/$t"
  mkdir -p "$work" "$findings"
  cp tests/fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
  log="$build/fuzz_$t.log"
  echo "fuzz: $t for ${seconds}s (max_len ${max_len[$t]}, log $log)"
  # shellcheck disable=SC2086
  if "$build/tests/fuzz/fuzz_$t" "$work" \
       -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=30 \
       -print_final_stats=1 -artifact_prefix="$findings/" ${KELHASH_FUZZ_ARGS:-} \
       >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
    grep -E '^stat::number_of_executed_units' "$log" || true
    echo "fuzz: $t: corpus $(find "$work" -type f | wc -l) inputs"
  else
    echo "fuzz: $t FAILED; last lines of $log:"
    tail -n 40 "$log"
    ls "$findings"/* 2>/dev/null | sed 's/^/fuzz: reproducer /' || true
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: no findings"
