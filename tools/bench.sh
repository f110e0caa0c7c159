#!/usr/bin/env bash
# Builds the "bench" preset and measures the driver: micro-benchmarks over the emulated line,
# and whole exchanges through VpiMain against metersim on pseudo-terminals (per family, at line
# speed, on 1 to 8 channels, on a stale line). Each figure is the median of several runs; the
# result is printed as one markdown table, in the form docs/performance.md keeps it.
# Usage: tools/bench.sh [--runs N] [--no-deps]     (about four minutes with the default 5 runs)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=5
deps=1
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --no-deps) deps=0; shift ;;
    *) echo "usage: $0 [--runs N] [--no-deps]" >&2; exit 64 ;;
  esac
done

[ $deps -eq 1 ] && "$root/tools/install-deps.sh" --bench

cd "$root"
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

bin="$root/build/bench"
out="$bin/results"
rm -rf "$out"
mkdir -p "$out"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "bench: micro-benchmarks ($runs repetitions)..." >&2
"$bin/vpi_bench_micro" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.2 --benchmark_format=json >"$out/micro.json" 2>"$out/micro.log"

for run in $(seq 1 "$runs"); do
  echo "bench: exchanges, run $run of $runs..." >&2
  {
    "$bin/vpi_bench_exchange" unpaced 30
    "$bin/vpi_bench_exchange" baud 9600 8
    "$bin/vpi_bench_exchange" baud 38400 20
    for channels in 1 2 4 8; do "$bin/vpi_bench_exchange" scaling "$channels" 2; done
    "$bin/vpi_bench_exchange" stale 20
  } >"$out/exchange-$run.txt"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
compiler=$(c++ --version | head -1)
python3 - "$out" "$runs" "$(nproc)" "$cpu" "$(uname -r)" "$compiler" "$load_before" "$load_after" <<'EOF'
import glob, json, statistics, sys, datetime

out, runs, nproc, cpu, kernel, compiler, load_before, load_after = sys.argv[1:]
runs, nproc = int(runs), int(nproc)

micro = {}
micro_counters = {}
for b in json.load(open(f"{out}/micro.json"))["benchmarks"]:
    # With one repetition there is no aggregate; the single run stands for itself.
    if b.get("aggregate_name") == "median" or (runs == 1 and b.get("run_type") == "iteration"):
        micro[b["run_name"]] = b["real_time"]  # ns
        micro_counters[b["run_name"]] = b

values = {}
for path in sorted(glob.glob(f"{out}/exchange-*.txt")):
    for line in open(path):
        key, value = line.split()
        values.setdefault(key, []).append(float(value))
x = {key: statistics.median(v) for key, v in values.items()}
failures = sum(sum(v) for key, v in values.items() if key.endswith("failures"))

rows = []
def row(figure, measured, floor, ratio, met):
    rows.append(f"| {figure} | {measured} | {floor} | {ratio} | {met} |")
def yes(ok):
    return "yes" if ok else "**no**"

row("Frame checksum, L = 300", f"{micro['checksum/L300']:.0f} ns", "—", "—", "—")
for family in ["plain", "H", "TR", "TK", "TY", "TD", "TC", "EX"]:
    t = micro[f"parse/{family}"]
    row(f"Address parse through operation 3, {family}", f"{t:.0f} ns", "< 100 ns",
        f"{t / 100:.2f}", yes(t < 100))
for family in ["plain", "H", "TR", "TK", "TY", "TD", "TC", "EX"]:
    row(f"Read request build, {family}", f"{micro[f'build/{family}']:.0f} ns", "—", "—", "—")
for name, label in [("plain_40", "plain, 40 fields"), ("H_34", "H, 34 fields"),
                    ("TD_25", "TD, 25 fields"), ("TC_33", "TC, 33 fields"), ("EX_36", "EX, 36 values")]:
    decode = micro_counters[f"decode/{name}/manual_time"]["decode_ns"]
    base = micro_counters[f"decode/{name}/manual_time"]["exchange_ns"]
    target = "< 2000 ns" if name == "plain_40" else "—"
    met = yes(decode < 2000) if name == "plain_40" else "—"
    row(f"Decode, {label} (read routine − the same exchange undecoded)", f"{decode:.0f} ns", target,
        f"{decode / 2000:.2f}" if name == "plain_40" else "—", met)
    row(f"Emulated exchange without decoding, {label}", f"{base:.0f} ns", "—", "—", "—")
row("Operation 6, plain, one attempt over the emulated line", f"{micro['vpi_read/plain_40']:.0f} ns",
    "—", "—", "—")

for family in ["plain", "H", "TR", "TK", "TY", "TD", "TC", "EX"]:
    k = f"unpaced.{family}"
    wall, floor = x[f"{k}.wall_us"], x[f"{k}.floor_us"]
    op = "5" if family == "EX" else "6"
    bare = x[f"{k}.bare_wall_us"]
    row(f"Wall per read, {family} (operation {op}), unpaced pty; bare client {bare / 1000:.2f} ms",
        f"{wall / 1000:.2f} ms",
        f"{floor / 1000:.2f} ms", f"{wall / floor:.3f}", yes(wall / floor <= 1.02))
for family in ["plain", "H", "TR", "TK", "TY", "TD", "TC", "EX"]:
    k = f"unpaced.{family}"
    cpu_us, bare = x[f"{k}.cpu_us"], x[f"{k}.bare_cpu_us"]
    row(f"Thread CPU per read, {family} (floor: bare client, same system calls)",
        f"{cpu_us:.0f} µs", f"{bare:.0f} µs", f"{cpu_us / bare:.2f}",
        f"{yes(cpu_us - bare < 20)} ({cpu_us - bare:+.0f} µs)")
for baud in [9600, 38400]:
    k = f"baud{baud}.plain"
    wall, theory, floor = x[f"{k}.wall_us"], x[f"{k}.theory_us"], x[f"{k}.floor_us"]
    row(f"Plain read at {baud} baud vs 22 ms + request and reply on the wire",
        f"{wall / 1000:.1f} ms", f"{theory / 1000:.1f} ms", f"{wall / theory:.3f}", "—")
    row(f"Plain read at {baud} baud vs 10 ms + simulator's paced reply",
        f"{wall / 1000:.1f} ms", f"{floor / 1000:.1f} ms", f"{wall / floor:.3f}",
        yes(wall / floor <= 1.02))
single = x["scaling.1.reads_per_s"]
for n in [1, 2, 4, 8]:
    k = f"scaling.{n}"
    rate, cores = x[f"{k}.reads_per_s"], x[f"{k}.cores_used"]
    linear = n * single
    ok = rate / linear >= 0.95 or cores >= 0.9 * nproc
    row(f"Plain reads per second, {n} channel{'s' if n > 1 else ''} "
        f"(driver {x[f'{k}.driver_cpu_us_per_read']:.0f} µs + simulator "
        f"{x[f'{k}.sim_cpu_us_per_read']:.0f} µs CPU per read; {cores:.2f} of {nproc} cores busy)",
        f"{rate:.0f} /s", f"{linear:.0f} /s (linear)", f"{rate / linear:.3f}",
        yes(ok) if n == 8 else "—")
# Where the cores would set the limit: channels at the single-channel rate that the CPU per
# read (as measured with 8 channels) would take to fill every core.
per_read_all = (x["scaling.8.driver_cpu_us_per_read"] + x["scaling.8.sim_cpu_us_per_read"]) / 1e6
per_read_driver = x["scaling.8.driver_cpu_us_per_read"] / 1e6
channels_all = nproc / (per_read_all * single)
channels_driver = nproc / (per_read_driver * single)
row(f"Channels that would fill all {nproc} cores at {single:.0f} reads/s each "
    "(driver and simulator / driver alone)", f"{channels_all:.0f} / {channels_driver:.0f}",
    "> 8", f"{channels_all / 8:.1f}", yes(channels_all > 8))
for k, label in [("quiet", "quiet line"), ("stale", "stale line (purge)")]:
    wall, floor = x[f"{k}.plain.wall_us"], x[f"{k}.plain.floor_us"]
    row(f"Plain read on a {label}", f"{wall / 1000:.2f} ms", f"{floor / 1000:.2f} ms",
        f"{wall / floor:.3f}", "—")

date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
print(f"Measured {date} on {cpu} ({nproc} cores), kernel {kernel}, {compiler}, Release -O2; "
      f"load average before / after: {load_before} / {load_after}; medians of {runs} runs; "
      f"failed reads: {failures:.0f}.")
print()
print("| Figure | Measured | Floor / target | Ratio | Met |")
print("|---|---|---|---|---|")
print("\n".join(rows))
EOF
