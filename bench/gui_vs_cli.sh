#!/usr/bin/env bash
# Window against command line: filters the same 60-second 44.1 kHz stereo
# recording through the same 2x2 FIR filter with tessaro (the window, pressed
# and closed by --process --exit-after-run under a virtual X server) and with
# tessaro-cli, and prints the median wall time and peak memory of each whole
# process and their ratio. Both outputs must be byte-identical in every
# repetition. A second set of rows with 1 second of audio shows each
# program's fixed cost (start-up, filter load, exit) on its own.
#
#   bench/gui_vs_cli.sh [BUILD_DIR]
#
# BUILD_DIR is a release build (default: build in the repository) holding
# ui/tessaro, cli/tessaro-cli and bench/tessaro-make-demo; nothing is built
# here. Needs Xvfb and /usr/bin/time (Debian packages xvfb and time).
# Environment knobs: REPS (default 5), BENCH_TAPS ("4096 524288"),
# BENCH_SECONDS (60), GOAL (1.10, the largest window/cli ratio that passes).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = -h ] || [ "${1:-}" = --help ]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi
build=${1:-$root/build}
reps=${REPS:-5}
taps_list=${BENCH_TAPS:-4096 524288}
seconds=${BENCH_SECONDS:-60}
goal=${GOAL:-1.10}
# A run that shows an error message waits for a click that never comes.
limit=900

die() {
    echo "gui_vs_cli.sh: $*" >&2
    exit 1
}

window=$build/ui/tessaro
cli=$build/cli/tessaro-cli
make_demo=$build/bench/tessaro-make-demo
for binary in "$window" "$cli" "$make_demo"; do
    [ -x "$binary" ] || die "missing $binary (build tessaro, tessaro-cli and tessaro-make-demo first)"
done
command -v Xvfb >/dev/null || die "Xvfb not found (apt-get install xvfb)"
[ -x /usr/bin/time ] || die "/usr/bin/time not found (apt-get install time)"
[[ $reps =~ ^[1-9][0-9]*$ ]] || die "REPS must be a positive whole number"

work=$(mktemp -d /tmp/tessaro-gui-vs-cli.XXXXXX)
xvfb_pid=
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
log=$work/log.txt

# One X server for the whole script, so its start-up is in no timing; it picks
# a free display number itself and writes it once it accepts connections.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >>"$log" 2>&1 &
xvfb_pid=$!
for ((try = 0; try < 100; ++try)); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || die "Xvfb did not start: $(cat "$log")"
    sleep 0.1
done
[ -s "$work/display" ] || die "Xvfb did not report a display"
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY QT_QPA_PLATFORM=xcb

# Sets wall to the wall seconds and kib to the peak resident KiB of one run.
wall='' kib=''
timed() {
    local start
    start=$EPOCHREALTIME
    /usr/bin/time -f %M -o "$work/time.txt" timeout "$limit" "$@" </dev/null >>"$log" 2>&1 ||
        die "failed (see $log): $*"
    wall=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
    kib=$(tail -n 1 "$work/time.txt")
}

median() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
largest() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort -g | tail -n 1; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# Runs both programs REPS times, alternating which goes first, on one
# configuration and input; appends a table row.
rows=()
declare -A short_c short_w
compare() {
    local taps=$1 length=$2 config=$3 input=$4 rep state c_walls="" w_walls="" c_kibs="" w_kibs=""
    local c_med w_med ratio verdict order
    local cli_out=$work/cli.wav win_out=$work/window.wav
    # An untimed pair first: page cache, dynamic loader, fonts.
    for ((rep = -1; rep < reps; ++rep)); do
        rm -f "$cli_out" "$win_out"
        state=$(mktemp -d "$work/state.XXXXXX")
        order="window cli"
        if ((rep % 2 == 0)); then order="cli window"; fi
        for program in $order; do
            if [ "$program" = cli ]; then
                timed "$cli" --quiet "$config" "$input" "$cli_out"
                ((rep < 0)) || { c_walls+=" $wall"; c_kibs+=" $kib"; }
            else
                timed "$window" --state-dir "$state" --process --exit-after-run "$config" "$input" "$win_out"
                ((rep < 0)) || { w_walls+=" $wall"; w_kibs+=" $kib"; }
            fi
        done
        rm -rf "$state"
        [ -s "$cli_out" ] || die "tessaro-cli wrote no output ($taps taps, $length s)"
        [ -s "$win_out" ] || die "the window wrote no output ($taps taps, $length s, see $log)"
        cmp "$cli_out" "$win_out" >>"$log" 2>&1 ||
            die "OUTPUTS DIFFER: window and tessaro-cli at $taps taps, $length s, repetition $((rep + 1))"
    done
    echo "  $taps taps, $length s: cli${c_walls}  window${w_walls}"
    c_med=$(median "$c_walls")
    w_med=$(median "$w_walls")
    ratio=$(awk -v w="$w_med" -v c="$c_med" 'BEGIN { printf "%.3f", w / c }')
    if [ "$length" != "$seconds" ]; then
        short_c[$taps]=$c_med
        short_w[$taps]=$w_med
        verdict="start-up only, window - cli $(awk -v w="$w_med" -v c="$c_med" 'BEGIN { printf "%+.3f s", w - c }')"
    else
        # The run itself: each program's time less its time on the 1-second
        # input, which is start-up (Qt, the window, the filter) and little else.
        local run_ratio
        run_ratio=$(awk -v w="$w_med" -v c="$c_med" -v ws="${short_w[$taps]}" -v cs="${short_c[$taps]}" \
            'BEGIN { printf "%.3f", (w - ws) / (c - cs) }')
        if awk -v r="$run_ratio" -v g="$goal" 'BEGIN { exit !(r <= g) }'; then
            verdict="run $run_ratio: met"
        else
            verdict="run $run_ratio: MISSED"
        fi
    fi
    rows+=("$(printf '%7s  %5s  %10.3f  %12.3f  %7s  %8s  %11s  %s' "$taps" "$length" "$c_med" "$w_med" \
        "$ratio" "$(mib "$(largest "$c_kibs")")" "$(mib "$(largest "$w_kibs")")" "$verdict")")
}

echo "window against tessaro-cli: ${seconds} s of 44.1 kHz stereo, $reps repetitions each, round-robin"
echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "load average at start: $(cut -d ' ' -f 1-3 /proc/loadavg); display $DISPLAY"
for taps in $taps_list; do
    echo "making the $taps-tap configuration, a ${seconds}-second and a 1-second input"
    "$make_demo" --taps "$taps" --seconds "$seconds" "$work/room-$taps.mat" "$work/input.wav" >>"$log" 2>&1
    # Only its input is used: the timed runs of both lengths share one configuration file.
    "$make_demo" --taps "$taps" --seconds 1 "$work/unused.mat" "$work/short.wav" >>"$log" 2>&1
    rm -f "$work/unused.mat"
    echo "wall seconds of each repetition:"
    compare "$taps" 1 "$work/room-$taps.mat" "$work/short.wav"
    compare "$taps" "$seconds" "$work/room-$taps.mat" "$work/input.wav"
done

echo "load average at end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo
printf '%7s  %5s  %10s  %12s  %7s  %8s  %11s  %s\n' taps "aud s" "cli med s" "window med s" \
    ratio "cli MiB" "window MiB" "goal (<= $goal)"
for row in "${rows[@]}"; do echo "$row"; done
echo
echo "whole processes, wall time from exec to exit, medians of $reps; 'run': the ratio of the"
echo "times less each program's 1-second time (its start-up); peak MiB: largest peak"
echo "resident size of the repetitions (/usr/bin/time %M). Outputs byte-identical in every repetition."
