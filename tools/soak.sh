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
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${SOAK_BUILD:-$ROOT/build/native}
MINUTES=${1:-2}
SEED=${SOAK_SEED:-$(date +%s)}
TIMEOUT_MS=200      # vpihost's read time-out; late replies come after it
HANG_S=30           # no reading for this long on a line is a hang
RSS_LIMIT_KB=512    # vpihost may grow this much between the first reading and the end

if ! [[ "$MINUTES" =~ ^[0-9]+$ ]] || [ "$MINUTES" -lt 1 ]; then
    echo "usage: tools/soak.sh [MINUTES]" >&2
    exit 2
fi
for program in metersim vpihost; do
    if [ ! -x "$BUILD/$program" ]; then
        echo "soak: $BUILD/$program missing; build the native preset first" >&2
        exit 2
    fi
done

WORK=$(mktemp -d /tmp/soak.XXXXXX)
SIMS=()
POLLS=()
cleanup() {
    for pid in "${POLLS[@]}" "${SIMS[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
}
trap cleanup EXIT
RANDOM=$SEED

# P=0.03 .. 0.09, drawn (into a variable: a draw inside $(...) would be the subshell's).
draw_probability() { P="0.0$((3 + RANDOM % 7))"; }

# The fault options of line $1 into FAULT_OPTIONS: each kind of fault is always on one line of
# the three and on the others by chance; some rules pick one meter of the line. It runs in this
# shell, never in a $(...) subshell: bash reseeds RANDOM in a subshell, and SOAK_SEED would not
# repeat the mix.
faults_for() {
    local line=$1 meters=$2 kind options="" rule
    local -a meter_list=($meters)
    for kind in 0 1 2 3 4; do
        if [ $((kind % 3)) -ne $((line - 1)) ] && [ $((RANDOM % 2)) -eq 0 ]; then continue; fi
        case $kind in
            0) rule="delay=$((TIMEOUT_MS + 50 + RANDOM % 250))" ;;  # after the time-out
            1) rule="echo" ;;
            2) rule="garbage" ;;
            3) rule="truncate" ;;
            4) rule="checksum" ;;
        esac
        draw_probability
        rule="$rule:p=$P"
        if [ $((RANDOM % 3)) -eq 0 ]; then rule="$rule:meter=${meter_list[RANDOM % 3]}"; fi
        options="$options --fault $rule"
    done
    # Replies late but inside the time-out, which must do no harm.
    draw_probability
    options="$options --fault delay=$((TIMEOUT_MS / 4)):p=$P"
    FAULT_OPTIONS=$options
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
declare -a JSONS EVENTS GATES FAULTS PORTS
for line in 1 2 3; do
    case $line in
        1) meters="01 11 21" ;;
        2) meters="20 21 30" ;;
        3) meters="99 09 98" ;;
    esac
    faults_for "$line" "$meters"
    FAULTS[$line]=$FAULT_OPTIONS
    GATES[$line]=$(gates_for $meters)
    JSONS[$line]="$WORK/poll$line.jsonl"
    EVENTS[$line]="$WORK/events$line.jsonl"
    # vpihost takes port names of at most 11 characters: /tmp/skNNNL, one not in use.
    for n in $(seq 100 999); do
        link="/tmp/sk$n$line"
        [ -e "$link" ] || [ -L "$link" ] || break
    done
    PORTS[$line]=$link
    meter_args=""
    for m in $meters; do meter_args="$meter_args --meter $m"; done
    # shellcheck disable=SC2086
    "$BUILD/metersim" $meter_args --seed $((SEED + line)) --link "$link" \
        --events "${EVENTS[$line]}" ${FAULTS[$line]} > "$WORK/sim$line.out" 2> "$WORK/sim$line.err" &
    SIMS+=($!)
    for _ in $(seq 50); do [ -s "$WORK/sim$line.out" ] && break; sleep 0.1; done
    if [ ! -s "$WORK/sim$line.out" ]; then
        echo "soak: metersim of line $line did not start: $(cat "$WORK/sim$line.err")" >&2
        exit 2
    fi
    echo "soak: line $line meters $meters faults:${FAULTS[$line]}"
done

for line in 1 2 3; do
    # shellcheck disable=SC2086
    "$BUILD/vpihost" poll --port "${PORTS[$line]}" --timeout $TIMEOUT_MS --interval 0 \
        --duration "${MINUTES}m" --json ${GATES[$line]} > "${JSONS[$line]}" 2> "$WORK/poll$line.err" &
    POLLS+=($!)
done

lines_of() { wc -l < "$1" 2>/dev/null || echo 0; }
rss_of() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null; }

# Watch: every line keeps producing readings; vpihost's RSS once readings flow, and at the end.
declare -a LAST_COUNT LAST_CHANGE RSS_START RSS_END
now=$(date +%s)
for line in 1 2 3; do LAST_COUNT[$line]=0; LAST_CHANGE[$line]=$now; done
HANG=""
while :; do
    running=0
    now=$(date +%s)
    for line in 1 2 3; do
        pid=${POLLS[$((line - 1))]}
        kill -0 "$pid" 2>/dev/null || continue
        running=1
        count=$(lines_of "${JSONS[$line]}")
        rss=$(rss_of "$pid")
        if [ "$count" -gt "${LAST_COUNT[$line]}" ]; then
            LAST_COUNT[$line]=$count
            LAST_CHANGE[$line]=$now
            [ -z "${RSS_START[$line]:-}" ] && [ "$count" -ge 12 ] && RSS_START[$line]=$rss
        fi
        [ -n "$rss" ] && RSS_END[$line]=$rss
        if [ $((now - LAST_CHANGE[$line])) -gt $HANG_S ]; then
            HANG="$HANG line $line: no reading for ${HANG_S} s after ${count};"
            kill -INT "$pid"
        fi
    done
    [ $running -eq 0 ] && break
    sleep 1
done
for pid in "${POLLS[@]}"; do wait "$pid" 2>/dev/null; done
POLLS=()
sleep 0.3   # the simulators write their last events
for pid in "${SIMS[@]}"; do kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
SIMS=()

# The largest growth of the three, against the limit.
RSS_ARGS=()
worst=-1
for line in 1 2 3; do
    start=${RSS_START[$line]:-}
    end=${RSS_END[$line]:-}
    [ -z "$start" ] || [ -z "$end" ] && continue
    if [ $((end - start)) -gt $worst ]; then
        worst=$((end - start))
        RSS_ARGS=(--rss "$start" "$end" "$RSS_LIMIT_KB")
    fi
done

CHECK_ARGS=()
for line in 1 2 3; do
    # shellcheck disable=SC2206
    CHECK_ARGS+=(--line "${JSONS[$line]}" "${EVENTS[$line]}" ${GATES[$line]})
done
python3 "$ROOT/tools/soak_check.py" "${RSS_ARGS[@]}" --timeout $TIMEOUT_MS "${CHECK_ARGS[@]}"
status=$?
if [ -n "$HANG" ]; then
    echo "soak: FAIL: hang:$HANG"
    status=1
fi
echo "soak: seed $SEED (SOAK_SEED=$SEED repeats the fault mix), records in $WORK"
exit $status
