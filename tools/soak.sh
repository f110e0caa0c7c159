#!/usr/bin/env bash
# Integrity soak: three simulated lines of three meters each, with faults drawn at random,
# polled by vpihost for MINUTES (default 2); every value read is checked against what the meter
# sent, and every request a meter answered cleanly must have been read (tools/soak_check.py);
# the poll must keep producing readings, and vpihost's memory must stay flat.
#
#   tools/soak.sh [MINUTES]        SOAK_SEED=N picks the fault mix (default: from the clock)
#                                  SOAK_BUILD=DIR takes vpihost, metersim and the driver module
#                                  from DIR (default: build/native)
#
# Exit status 0 when everything holds; 1 with the reasons printed otherwise; 2 when it could
# not run. Needs build/native (cmake --preset native && cmake --build --preset native).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${SOAK_BUILD:-$root/build/native}
minutes=${1:-2}
seed=${SOAK_SEED:-$(date +%s)}
timeout_ms=200      # vpihost's read time-out; late replies come after it
hang_s=30           # no reading for this long on a line is a hang
rss_limit_kb=512    # vpihost may grow this much between the first reading and the end

if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -lt 1 ]; then
  echo "usage: tools/soak.sh [MINUTES]" >&2
  exit 2
fi
for program in metersim vpihost; do
  if [ ! -x "$build/$program" ]; then
    echo "soak: $build/$program missing; build the native preset first" >&2
    exit 2
  fi
done

work=$(mktemp -d /tmp/soak.XXXXXX)
sims=()
polls=()
cleanup() {
  for pid in "${polls[@]}" "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
RANDOM=$seed

# Draws probability, 0.03 to 0.09 (into a variable: a draw inside $(...) would be the subshell's).
draw_probability() { probability="0.0$((3 + RANDOM % 7))"; }

# The fault options of line $1 into fault_options: each kind of fault is always on one line of
# the three and on the others by chance; some rules pick one meter of the line. It runs in this
# shell, never in a $(...) subshell: bash reseeds RANDOM in a subshell, and SOAK_SEED would not
# repeat the mix.
faults_for() {
  local line=$1 meters=$2 kind options="" rule
  local -a meter_list
  read -ra meter_list <<<"$meters"
  for kind in 0 1 2 3 4; do
    if [ $((kind % 3)) -ne $((line - 1)) ] && [ $((RANDOM % 2)) -eq 0 ]; then continue; fi
    case $kind in
      0) rule="delay=$((timeout_ms + 50 + RANDOM % 250))" ;;  # after the time-out
      1) rule="echo" ;;
      2) rule="garbage" ;;
      3) rule="truncate" ;;
      4) rule="checksum" ;;
    esac
    draw_probability
    rule="$rule:p=$probability"
    if [ $((RANDOM % 3)) -eq 0 ]; then rule="$rule:meter=${meter_list[RANDOM % 3]}"; fi
    options="$options --fault $rule"
  done
  # Replies late but inside the time-out, which must do no harm.
  draw_probability
  options="$options --fault delay=$((timeout_ms / 4)):p=$probability"
  fault_options=$options
}

# Gates of every family; the meters take turns, so neighbours never share a meter and request
# (which is how the checker tells one reading's requests from the next one's).
gates_for() {
  local a=$1 b=$2 c=$3
  echo "${a}01 ${b}01H2 ${c}TR31 ${a}TK21 ${b}TY21 ${c}TD0501 ${a}TC0011 ${b}TC1121" \
    "${c}EX1001:3 ${a}EX0002:2 ${b}01 ${c}01H5"
}

# The meters of a line differ in one digit only, the tens or the units: a late reply must be
# told from its neighbour's by both digits of the address. In the gate order above, the pairs
# c-a (TR then TK, EX then EX) and a-b (TC then TC) read the same command of two meters one
# after the other, which is where only the address can refuse a late reply.
declare -a jsons events gates faults ports
for line in 1 2 3; do
  case $line in
    1) meters="01 11 21" ;;
    2) meters="20 21 30" ;;
    3) meters="99 09 98" ;;
  esac
  faults_for "$line" "$meters"
  faults[line]=$fault_options
  # shellcheck disable=SC2086
  gates[line]=$(gates_for $meters)
  jsons[line]="$work/poll$line.jsonl"
  events[line]="$work/events$line.jsonl"
  # vpihost takes port names of at most 11 characters: /tmp/skNNNL, one not in use.
  for n in $(seq 100 999); do
    link="/tmp/sk$n$line"
    [ -e "$link" ] || [ -L "$link" ] || break
  done
  ports[line]=$link
  meter_args=""
  for m in $meters; do meter_args="$meter_args --meter $m"; done
  # shellcheck disable=SC2086
  "$build/metersim" $meter_args --seed $((seed + line)) --link "$link" \
    --events "${events[line]}" ${faults[line]} > "$work/sim$line.out" 2> "$work/sim$line.err" &
  sims+=($!)
  for _ in $(seq 50); do [ -s "$work/sim$line.out" ] && break; sleep 0.1; done
  if [ ! -s "$work/sim$line.out" ]; then
    echo "soak: metersim of line $line did not start: $(cat "$work/sim$line.err")" >&2
    exit 2
  fi
  echo "soak: line $line meters $meters faults:${faults[line]}"
done

for line in 1 2 3; do
  # shellcheck disable=SC2086
  "$build/vpihost" poll --port "${ports[line]}" --timeout $timeout_ms --interval 0 \
    --duration "${minutes}m" --json ${gates[line]} > "${jsons[line]}" 2> "$work/poll$line.err" &
  polls+=($!)
done

lines_of() { wc -l < "$1" 2>/dev/null || echo 0; }
rss_of() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || true; }

# Watch: every line keeps producing readings; vpihost's RSS once readings flow, and at the end.
declare -a last_count last_change rss_start rss_end
now=$(date +%s)
for line in 1 2 3; do last_count[line]=0; last_change[line]=$now; done
hang=""
while :; do
  running=0
  now=$(date +%s)
  for line in 1 2 3; do
    pid=${polls[$((line - 1))]}
    kill -0 "$pid" 2>/dev/null || continue
    running=1
    count=$(lines_of "${jsons[line]}")
    rss=$(rss_of "$pid")
    if [ "$count" -gt "${last_count[line]}" ]; then
      last_count[line]=$count
      last_change[line]=$now
      [ -z "${rss_start[line]:-}" ] && [ "$count" -ge 12 ] && rss_start[line]=$rss
    fi
    [ -n "$rss" ] && rss_end[line]=$rss
    if [ $((now - last_change[line])) -gt $hang_s ]; then
      hang="$hang line $line: no reading for ${hang_s} s after ${count};"
      kill -INT "$pid" || true
    fi
  done
  [ $running -eq 0 ] && break
  sleep 1
done
for pid in "${polls[@]}"; do wait "$pid" 2>/dev/null || true; done
polls=()
sleep 0.3   # the simulators write their last events
for pid in "${sims[@]}"; do
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
done
sims=()

# The largest growth of the three, against the limit.
rss_args=()
worst=-1
for line in 1 2 3; do
  start=${rss_start[line]:-}
  end=${rss_end[line]:-}
  [ -z "$start" ] || [ -z "$end" ] && continue
  if [ $((end - start)) -gt $worst ]; then
    worst=$((end - start))
    rss_args=(--rss "$start" "$end" "$rss_limit_kb")
  fi
done

check_args=()
for line in 1 2 3; do
  # shellcheck disable=SC2206
  check_args+=(--line "${jsons[line]}" "${events[line]}" ${gates[line]})
done
status=0
python3 "$root/tools/soak_check.py" "${rss_args[@]}" --timeout $timeout_ms "${check_args[@]}" || status=$?
if [ -n "$hang" ]; then
  echo "soak: FAIL: hang:$hang"
  status=1
fi
echo "soak: seed $seed (SOAK_SEED=$seed repeats the fault mix), records in $work"
exit $status
