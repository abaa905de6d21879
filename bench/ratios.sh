#!/usr/bin/env bash
# Runs the pairs benchmark with repetitions in random interleaving and
# prints, for every pair, the median wall time of each side over the
# repetitions and their ratio (kelhash / floor: below 1 is faster than the
# floor).
#
# Usage: bench/ratios.sh [BUILD_DIR [REPETITIONS [FILTER]]]
#   BUILD_DIR    a build with KELHASH_BUILD_BENCHMARKS=ON (default build/bench,
#                the bench preset)
#   REPETITIONS  default 15; take more when the machine is busy
#   FILTER       a --benchmark_filter regex, default all pairs
# Needs python3 for the table. KELHASH_BENCH_DIR picks the directory of the
# 64 MiB bench file (default $TMPDIR, else /var/tmp); it must be on a disk,
# not tmpfs, for the cold rows.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
reps=${2:-15}
filter=${3:-.}
exe="$build/bench/kelhash_bench_pairs"
[ -x "$exe" ] || { echo "no $exe: cmake --preset bench && cmake --build --preset bench" >&2; exit 2; }

json=$(mktemp "${TMPDIR:-/tmp}/kelhash-ratios-XXXXXX.json")
log=$(mktemp "${TMPDIR:-/tmp}/kelhash-ratios-XXXXXX.log")
trap 'rm -f "$json" "$log"' EXIT
if ! "$exe" --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
  --benchmark_filter="$filter" --benchmark_out="$json" --benchmark_out_format=json \
  >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi

python3 - "$json" "$reps" <<'EOF'
import json, statistics, sys

data = json.load(open(sys.argv[1]))
reps = int(sys.argv[2])
times = {}
for b in data["benchmarks"]:
    if b.get("error_occurred"):
        print(f"{b['name']}: {b.get('error_message', 'failed')}", file=sys.stderr)
        continue
    if b.get("run_type") != "iteration":
        continue
    pair, side = b["run_name"].split("/")[:2]
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]
    times.setdefault(pair, {}).setdefault(side, []).append(b["real_time"] * scale)

# What each ratio is held to (kelhash / the plain floor).
targets = {
    "opensubtitles_file_cached": "<= 1.10",
    "opensubtitles_file_cold": "<= 0.80",
    "shooter_file_cold": "<= 0.45",
    "md5_buffer": "<= 1.00",
}

ctx = data["context"]
print(f"{ctx.get('host_name', '')}, {ctx.get('num_cpus')} CPUs, "
      f"load {' '.join(f'{x:.1f}' for x in ctx.get('load_avg', []))}, "
      f"{reps} repetitions, medians of wall time")
def spread(xs):
    # Interquartile range over the median, in percent: above a few percent
    # the machine was busy, and the run is worth repeating.
    if len(xs) < 4:
        return 0.0
    q = statistics.quantiles(xs, n=4)
    return 100.0 * (q[2] - q[0]) / statistics.median(xs)


head = (f"{'pair':28} {'kelhash us':>11} {'floor us':>11} {'ratio':>7} {'target':>8} "
        f"{'spread':>7}  overlapped floor")
print(head)
print("-" * len(head))
order = ["opensubtitles_file_cached", "opensubtitles_file_cold", "shooter_file_cached",
         "shooter_file_cold", "shooter_buffer", "opensubtitles_buffer", "md5_buffer"]
for pair in sorted(times, key=lambda p: order.index(p) if p in order else len(order)):
    sides = times[pair]
    lib = statistics.median(sides["kelhash"]) if "kelhash" in sides else float("nan")
    flo = statistics.median(sides["floor"]) if "floor" in sides else float("nan")
    extra = ""
    if "floor_overlapped" in sides:
        ov = statistics.median(sides["floor_overlapped"])
        extra = f"{ov:.1f} us, kelhash / it {lib / ov:.2f}"
    noise = max(spread(xs) for xs in sides.values())
    print(f"{pair:28} {lib:11.1f} {flo:11.1f} {lib / flo:7.2f} {targets.get(pair, ''):>8} "
          f"{noise:6.0f}%  {extra}")
EOF
