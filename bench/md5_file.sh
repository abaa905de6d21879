#!/usr/bin/env bash
# Whole-process MD5 of one file in the page cache: the library (through
# kelhash_md5_file_cli) against `openssl md5` and `md5sum`, with hyperfine.
# Usage: bench/md5_file.sh BUILD_DIR [SIZE_MIB]
set -euo pipefail
build=${1:?usage: bench/md5_file.sh BUILD_DIR [SIZE_MIB]}
mib=${2:-512}
cli="$build/bench/kelhash_md5_file_cli"
file=$(mktemp "${TMPDIR:-/tmp}/kelhash-md5-XXXXXX")
trap 'rm -f "$file"' EXIT
head -c $((mib << 20)) /dev/urandom >"$file"
cat "$file" >/dev/null  # into the page cache
if command -v hyperfine >/dev/null; then
  hyperfine -N --warmup 2 --runs 10 "$cli $file" "openssl md5 $file" "md5sum $file"
else
  for cmd in "$cli $file" "openssl md5 $file" "md5sum $file"; do
    echo "== $cmd"
    for _ in 1 2 3 4 5; do /usr/bin/time -f "%e s wall, %U s user" $cmd >/dev/null; done
  done
fi
