#!/usr/bin/env bash
# Whole-program benchmark: filters a 60-second 44.1 kHz stereo recording through
# 2x2 FIR filters of 4096, 65536 and 524288 taps with tessaro-cli, and the same
# work with BruteFIR (all three lengths), ffmpeg's afir (all three) and SoX
# (4096 taps). Prints the best
# wall time of a few runs, the speed as a multiple of real time and the peak
# memory of each, and checks that the peers' outputs match tessaro's.
#
#   bench/whole_program.sh [--profile] [BUILD_DIR]
#
# --profile also samples one tessaro-cli run at the longest filter with perf
# (Debian package linux-perf) and prints where its time goes.
#
# BUILD_DIR is a release build (default: build in the repository) holding
# cli/tessaro-cli and bench/tessaro-make-demo; nothing is built here. The test
# data are made once and kept in BUILD_DIR/bench-data (remove it to have them
# made again). Environment knobs for quick trials: BENCH_TAPS (default
# "4096 65536 524288"), BENCH_RUNS (3), BENCH_SECONDS (60),
# BENCH_TESSARO_OPTIONS (say "--partition auto"), BENCH_BRUTEFIR_PARTITION
# (4096) and BENCH_FFMPEG_PARTITIONS ("8192:8192 8192:32768").
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
profile=false
if [ "${1:-}" = -h ] || [ "${1:-}" = --help ]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi
if [ "${1:-}" = --profile ]; then
    profile=true
    shift
fi
build=${1:-$root/build}
taps_list=${BENCH_TAPS:-4096 65536 524288}
runs=${BENCH_RUNS:-3}
seconds=${BENCH_SECONDS:-60}
# Partition length of tessaro's engine; BruteFIR is given the same unless
# BENCH_BRUTEFIR_PARTITION says otherwise (its best at long filters here is
# 32768; tap counts below it are then skipped for BruteFIR).
partition=4096
brutefir_partition=${BENCH_BRUTEFIR_PARTITION:-$partition}
# BENCH_TESSARO_OPTIONS: more tessaro-cli options, such as "--partition auto".
read -r -a tessaro_options <<<"${BENCH_TESSARO_OPTIONS:-}"
rate=44100

die() {
    echo "whole_program.sh: $*" >&2
    exit 1
}

cli=$build/cli/tessaro-cli
make_demo=$build/bench/tessaro-make-demo
for binary in "$cli" "$make_demo"; do
    [ -x "$binary" ] || die "missing $binary
build it first: ninja -C $build tessaro-cli tessaro-make-demo"
done
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ "$build_type" = Release ] ||
    echo "warning: $build is not a Release build (CMAKE_BUILD_TYPE='$build_type')" >&2
for taps in $taps_list; do
    if ! [[ $taps =~ ^[0-9]+$ ]] || ((taps % partition != 0)); then
        die "tap count $taps is not a multiple of $partition"
    fi
done

data=$build/bench-data
# The SoX pipes below are shell command lines.
[[ $data =~ [[:space:]] ]] && die "the build directory's path must not contain spaces"
work=$data/work
mkdir -p "$data" "$work"
log=$work/log.txt
: >"$log"

have_time=false
[ -x /usr/bin/time ] && have_time=true
have_sox=false
command -v sox >/dev/null && have_sox=true
brutefir=
if [ -x /usr/lib/brutefir/brutefir.real ]; then
    # The Debian wrapper only touches ~/.brutefir_config; -nodefault below
    # makes that file unnecessary.
    brutefir=/usr/lib/brutefir/brutefir.real
elif command -v brutefir >/dev/null; then
    brutefir=$(command -v brutefir)
fi
notes=()

# ---- data, made once ---------------------------------------------------------

input=$data/input-${seconds}s.wav
input_raw=$data/input-${seconds}s.s16
config() { echo "$data/room-$1.mat"; }
taps_file() { echo "$data/taps-$1-$2.f32"; }

for taps in $taps_list; do
    complete=true
    for file in "$(config "$taps")" "$input" $(for h in h11 h12 h21 h22; do taps_file "$taps" $h; done); do
        [ -s "$file" ] || complete=false
    done
    $complete && continue
    echo "making the $taps-tap configuration and the ${seconds}-second input in $data"
    # Written under temporary names so that an interrupted run leaves nothing
    # that looks finished.
    "$make_demo" --taps "$taps" --seconds "$seconds" --export-taps "$work/taps-$taps-" \
        "$work/room.mat" "$work/input.wav"
    for h in h11 h12 h21 h22; do mv "$work/taps-$taps-$h.f32" "$(taps_file "$taps" $h)"; done
    mv "$work/input.wav" "$input"
    mv "$work/room.mat" "$(config "$taps")"
done

if $have_sox; then
    if [ ! "$input_raw" -nt "$input" ]; then
        sox "$input" -t raw -e signed-integer -b 16 "$work/input.s16"
        mv "$work/input.s16" "$input_raw"
    fi
    for h in h11 h12 h21 h22; do
        text=$data/taps-4096-$h.txt
        if [ -s "$(taps_file 4096 $h)" ] && [ ! "$text" -nt "$(taps_file 4096 $h)" ]; then
            # od prints each float with as many digits as it needs to read back exactly.
            od -An -v -tf4 -w4 "$(taps_file 4096 $h)" >"$work/taps.txt"
            mv "$work/taps.txt" "$text"
        fi
    done
else
    notes+=("sox not found (apt-get install sox): the peers are skipped, they need it to convert and compare audio")
fi
[ -n "$brutefir" ] || notes+=("brutefir not found (apt-get install brutefir): its columns are empty")
have_ffmpeg=false
command -v ffmpeg >/dev/null && have_ffmpeg=true
$have_ffmpeg || notes+=("ffmpeg not found (apt-get install ffmpeg): its afir rows are skipped")
# ffmpeg's afir partitions: minp to maxp (at most 32768); BENCH_FFMPEG_PARTITIONS
# lists the pairs tried, each a row.
ffmpeg_partitions=${BENCH_FFMPEG_PARTITIONS:-"8192:8192 8192:32768"}

# ---- measuring ---------------------------------------------------------------

# Sum of the proportional set sizes (KiB) of a process and all its descendants.
# BruteFIR forks its filter processes and shares buffers between them, which
# /usr/bin/time (largest single process) does not see.
tree_pss_kib() {
    ps -e -o pid=,ppid= | awk -v root="$1" '
        { parent[$1] = $2 }
        END {
            member[root] = 1
            for (grown = 1; grown;) {
                grown = 0
                for (p in parent)
                    if (!(p in member) && (parent[p] in member)) { member[p] = 1; grown = 1 }
            }
            total = 0
            for (p in member) {
                file = "/proc/" p "/smaps_rollup"
                while ((getline line < file) > 0)
                    if (line ~ /^Pss:/) { split(line, field, " "); total += field[2] }
                close(file)
            }
            print total
        }'
}

# Runs a command once, sampling its memory every 50 ms; prints the peak in KiB.
# The run also warms the page cache and BruteFIR's FFTW wisdom for the timed runs.
sampled_peak_kib() {
    "$@" </dev/null >>"$log" 2>&1 &
    local pid=$! peak=0 now
    while kill -0 "$pid" 2>/dev/null; do
        now=$(tree_pss_kib "$pid")
        if ((now > peak)); then peak=$now; fi
        sleep 0.05
    done
    wait "$pid" || return 1
    echo "$peak"
}

# Runs a command $runs times; sets best_seconds to the shortest wall time and
# time_peak_kib to the largest peak resident size /usr/bin/time saw (0 without it).
best_seconds=
time_peak_kib=0
time_runs() {
    local run start elapsed kib
    best_seconds=
    time_peak_kib=0
    for ((run = 0; run < runs; ++run)); do
        start=$EPOCHREALTIME
        if $have_time; then
            /usr/bin/time -f %M -o "$work/time.txt" "$@" </dev/null >>"$log" 2>&1 || return 1
        else
            "$@" </dev/null >>"$log" 2>&1 || return 1
        fi
        elapsed=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
        if [ -z "$best_seconds" ] || awk -v a="$elapsed" -v b="$best_seconds" 'BEGIN { exit !(a < b) }'; then
            best_seconds=$elapsed
        fi
        if $have_time; then
            kib=$(tail -n 1 "$work/time.txt")
            if ((kib > time_peak_kib)); then time_peak_kib=$kib; fi
        fi
    done
}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
realtime() { awk -v s="$1" -v d="$seconds" 'BEGIN { printf "%.1f", d / s }'; }

# Level of a file and of its difference to the reference, from sox stats:
# prints "RMS_DB DIFF_RMS_DB DIFF_PEAK_DB" (whole file, both channels).
compare_to() {
    local reference=$1 candidate=$2 rms diff
    rms=$(sox "$candidate" -n stats 2>&1 | awk '/^RMS lev dB/ { print $4 }')
    diff=$(sox -m -v 1 "$reference" -v -1 "$candidate" -n stats 2>&1 |
        awk '/^RMS lev dB/ { r = $4 } /^Pk lev dB/ { p = $4 } END { print r, p }')
    echo "$rms $diff"
}

# A peer's output is the same as tessaro's when it differs by no more than a
# couple of 16-bit steps anywhere (one step is -90.3 dBFS): both round the
# same float result to 16 bits, and their float errors are far below a step.
verdict() {
    awk -v peak="$1" 'BEGIN { print (peak == "-inf" || peak + 0 <= -84) ? "same output" : "DIFFERENT OUTPUT" }'
}

brutefir_config() {
    local taps=$1 output=$2 blocks modules path from to
    blocks=$((taps / brutefir_partition))
    modules=$(dirname "$brutefir")
    cat <<EOF
float_bits: 32;
sampling_rate: $rate;
filter_length: $brutefir_partition,$blocks;
overflow_warnings: true;
show_progress: false;
max_dither_table_size: 0;
allow_poll_mode: false;
modules_path: "$modules";
powersave: false;
monitor_rate: false;
lock_memory: false;
sdf_length: -1;
convolver_config: "$data/brutefir-fftw-wisdom";
safety_limit: 0;
EOF
    for h in h11 h12 h21 h22; do
        echo "coeff \"$h\" { filename: \"$(taps_file "$taps" $h)\"; format: \"FLOAT_LE\";" \
            "attenuation: 0; blocks: -1; skip: 0; shared_mem: false; };"
    done
    cat <<EOF
input "l", "r" {
    device: "file" { path: "$input_raw"; };
    sample: "S16_LE"; channels: 2/0,1; delay: 0,0; maxdelay: -1; mute: false, false;
};
output "L", "R" {
    device: "file" { path: "$output"; };
    sample: "S16_LE"; channels: 2/0,1; delay: 0,0; maxdelay: -1; mute: false, false;
    dither: false;
};
EOF
    # Process -1 lets BruteFIR spread the four filters over the cores. With file
    # input it stops by itself at the end of the input, having written exactly
    # as many frames as it read, without added delay: no padding or trimming.
    for path in "11 l L" "12 l R" "21 r L" "22 r R"; do
        read -r path from to <<<"$path"
        echo "filter \"$path\" { from_inputs: \"$from\"; to_outputs: \"$to\"; coeff: \"h$path\";" \
            "process: -1; delay: 0; crossfade: false; };"
    done
}

echo
echo "whole-program benchmark: ${seconds} s of 44.1 kHz stereo, best of $runs runs"
echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "load average at start: $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo

rows=()
checks=()
declare -A tessaro_seconds
for taps in $taps_list; do
    echo "$taps taps: tessaro-cli"
    tessaro_out=$work/tessaro-$taps.wav
    tessaro_cmd=("$cli" --quiet "${tessaro_options[@]}" "$(config "$taps")" "$input" "$tessaro_out")
    sampled_kib=$(sampled_peak_kib "${tessaro_cmd[@]}") || die "tessaro-cli failed, see $log"
    time_runs "${tessaro_cmd[@]}" || die "tessaro-cli failed, see $log"
    t_seconds=$best_seconds
    tessaro_seconds[$taps]=$t_seconds
    t_kib=$time_peak_kib
    if ((t_kib == 0)); then t_kib=$sampled_kib; fi
    b_seconds=- b_realtime=- b_mib=- ratio=-
    if [ -n "$brutefir" ] && $have_sox && ((taps % brutefir_partition == 0)); then
        echo "$taps taps: brutefir"
        brutefir_out=$work/brutefir-$taps.s16
        brutefir_config "$taps" "$brutefir_out" >"$work/brutefir-$taps.conf"
        brutefir_cmd=("$brutefir" -nodefault -quiet "$work/brutefir-$taps.conf")
        if b_kib=$(sampled_peak_kib "${brutefir_cmd[@]}") && time_runs "${brutefir_cmd[@]}"; then
            b_seconds=$best_seconds
            b_realtime=$(realtime "$b_seconds")
            b_mib=$(mib "$b_kib")
            ratio=$(awk -v a="$t_seconds" -v b="$b_seconds" 'BEGIN { printf "%.2f", a / b }')
            sox -t raw -r $rate -e signed-integer -b 16 -c 2 "$brutefir_out" "$work/brutefir-$taps.wav"
            read -r t_rms _ _ <<<"$(compare_to "$tessaro_out" "$tessaro_out")"
            read -r b_rms d_rms d_peak <<<"$(compare_to "$tessaro_out" "$work/brutefir-$taps.wav")"
            checks+=("$(printf '%7s taps  tessaro RMS %s dB, brutefir RMS %s dB, difference RMS %s dB, peak %s dB: %s' \
                "$taps" "$t_rms" "$b_rms" "$d_rms" "$d_peak" "$(verdict "$d_peak")")")
        else
            echo "brutefir failed at $taps taps, see $log" >&2
            b_seconds=failed
        fi
    fi
    rows+=("$(printf '%7s  %9s  %8s  %8s  |  %9s  %8s  %8s  |  %8s' "$taps" "$t_seconds" \
        "$(realtime "$t_seconds")" "$(mib "$t_kib")" "$b_seconds" "$b_realtime" "$b_mib" "$ratio")")
done

# ffmpeg's afir: the four paths as channels of one 4-channel impulse response
# (h11, h12, h21, h22), each input channel duplicated to meet its two, then
# summed in pairs into the outputs.
ffmpeg_rows=()
if $have_ffmpeg && $have_sox; then
    for taps in $taps_list; do
        ir=$work/ir-$taps.wav
        merge=()
        for h in h11 h12 h21 h22; do
            merge+=(-t raw -r $rate -e floating-point -b 32 -c 1 "$(taps_file "$taps" $h)")
        done
        sox -M "${merge[@]}" -e floating-point -b 32 "$ir"
        for pair in $ffmpeg_partitions; do
            minp=${pair%:*} maxp=${pair#*:}
            echo "$taps taps: ffmpeg afir, partitions $minp to $maxp"
            graph="[0:a]pan=4c|c0=c0|c1=c0|c2=c1|c3=c1[x];[x][1:a]afir=gtype=none:minp=$minp:maxp=$maxp[y];"
            graph+="[y]pan=stereo|c0=c0+c2|c1=c1+c3"
            out=$work/ffmpeg-$taps.wav
            ffmpeg_cmd=(ffmpeg -v error -y -i "$input" -i "$ir" -filter_complex "$graph" -c:a pcm_s16le "$out")
            if time_runs "${ffmpeg_cmd[@]}"; then
                f_kib=$time_peak_kib
                if ((f_kib == 0)); then f_kib=$(sampled_peak_kib "${ffmpeg_cmd[@]}"); fi
                read -r _ d_rms d_peak <<<"$(compare_to "$work/tessaro-$taps.wav" "$out")"
                ffmpeg_rows+=("$(printf '%7s taps  ffmpeg afir %s:%s  %s s  %s x realtime  %s MiB  tessaro/ffmpeg %s  difference peak %s dB: %s' \
                    "$taps" "$minp" "$maxp" "$best_seconds" "$(realtime "$best_seconds")" "$(mib "$f_kib")" \
                    "$(awk -v a="${tessaro_seconds[$taps]}" -v b="$best_seconds" 'BEGIN { printf "%.2f", a / b }')" \
                    "$d_peak" "$(verdict "$d_peak")")")
            else
                ffmpeg_rows+=("$(printf '%7s taps  ffmpeg afir %s:%s failed, see %s' "$taps" "$minp" "$maxp" "$log")")
            fi
        done
    done
fi

sox_rows=()
if $have_sox && [[ " $taps_list " == *" 4096 "* ]]; then
    coefs() { echo "$data/taps-4096-$1.txt"; }
    # SoX's fir takes its response as linear phase and advances the output by
    # (taps - 1) / 2 samples, rounded down; padding the input by as much and
    # trimming the output to the input's length gives the causal convolution.
    frames=$(soxi -s "$input")
    causal_fir() { echo pad $(((4096 - 1) / 2))s fir "$(coefs "$1")" trim 0 "${frames}s"; }
    # SoX's fir filters every channel with one response. Same work as the 2x2
    # matrix in one process: each input channel twice, filtered with h11, then
    # summed in pairs (the output is not the matrix's).
    echo "4096 taps: sox fir, one process"
    read -r -a fir_h11 <<<"$(causal_fir h11)"
    sox_cmd=(sox -D "$input" "$work/sox-single.wav"
        remix 1 1 2 2 "${fir_h11[@]}" remix -m "1,3" "2,4")
    sampled_peak_kib "${sox_cmd[@]}" >/dev/null || die "sox failed, see $log"
    time_runs "${sox_cmd[@]}" || die "sox failed, see $log"
    s_kib=$time_peak_kib
    if ((s_kib == 0)); then s_kib=$(sampled_peak_kib "${sox_cmd[@]}"); fi
    sox_rows+=("$(printf '%s  %s s  %s x realtime  %s MiB  tessaro/sox %s' \
        "sox fir, 1 process, 4 filters all h11 (same work, not the matrix's output):" \
        "$best_seconds" "$(realtime "$best_seconds")" "$(mib "$s_kib")" \
        "$(awk -v a="${tessaro_seconds[4096]}" -v b="$best_seconds" 'BEGIN { printf "%.2f", a / b }')")")
    # The real matrix: four sox processes, one per path, merged and summed by a fifth.
    echo "4096 taps: sox fir, 2x2 matrix in five processes"
    path() { echo "|sox -D $(printf %q "$input") -p remix $1 $(causal_fir "$2")"; }
    sox_cmd=(sox -D -M "$(path 1 h11)" "$(path 1 h12)" "$(path 2 h21)" "$(path 2 h22)"
        "$work/sox-matrix.wav" remix -m "1,3" "2,4")
    s_kib=$(sampled_peak_kib "${sox_cmd[@]}") || die "sox failed, see $log"
    time_runs "${sox_cmd[@]}" || die "sox failed, see $log"
    sox_rows+=("$(printf '%s  %s s  %s x realtime  %s MiB  tessaro/sox %s' \
        "sox fir, 2x2 matrix as 4 sox pipes merged by a 5th (uses both cores):" \
        "$best_seconds" "$(realtime "$best_seconds")" "$(mib "$s_kib")" \
        "$(awk -v a="${tessaro_seconds[4096]}" -v b="$best_seconds" 'BEGIN { printf "%.2f", a / b }')")")
    read -r t_rms _ _ <<<"$(compare_to "$work/tessaro-4096.wav" "$work/tessaro-4096.wav")"
    read -r s_rms d_rms d_peak <<<"$(compare_to "$work/tessaro-4096.wav" "$work/sox-matrix.wav")"
    checks+=("$(printf '   4096 taps  tessaro RMS %s dB, sox 2x2 RMS %s dB, difference RMS %s dB, peak %s dB: %s' \
        "$t_rms" "$s_rms" "$d_rms" "$d_peak" "$(verdict "$d_peak")")")
fi

echo
echo "load average at end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo
printf '%7s  %9s  %8s  %8s  |  %9s  %8s  %8s  |  %8s\n' taps "tessaro s" "x rt" "peak MiB" \
    "brutefir s" "x rt" "peak MiB" "t/b time"
for row in "${rows[@]}"; do echo "$row"; done
for row in "${sox_rows[@]}"; do echo "$row"; done
for row in "${ffmpeg_rows[@]+"${ffmpeg_rows[@]}"}"; do echo "$row"; done
echo
echo "x rt: ${seconds} s of audio / best wall time. t/b time: tessaro wall time / brutefir's"
echo "(above 1: tessaro is slower). tessaro filters on two threads; brutefir spreads its four"
echo "filters over $(nproc) processes (partition $brutefir_partition, FFTW single precision, wisdom cached)."
if $have_time; then
    echo "peak MiB: tessaro and 1-process sox: peak resident size (/usr/bin/time %M);"
else
    echo "peak MiB: /usr/bin/time is missing (apt-get install time): tessaro and sox show sampled PSS;"
fi
echo "brutefir and the sox pipes: sum of the PSS of all their processes, sampled every 50 ms."
if ((${#checks[@]} > 0)); then
    echo
    echo "outputs against tessaro's (sox stats over both channels; one 16-bit step is -90.3 dB):"
    for check in "${checks[@]}"; do echo "$check"; done
fi
for note in "${notes[@]+"${notes[@]}"}"; do echo "note: $note"; done

# ---- profile -----------------------------------------------------------------

$profile || exit 0
echo
if ! command -v perf >/dev/null; then
    echo "profile skipped: perf not found (apt-get install linux-perf)"
    exit 0
fi
longest=$(tr ' ' '\n' <<<"$taps_list" | sort -n | tail -n 1)
echo "where tessaro-cli's time goes at $longest taps (perf, on-CPU samples of all its threads):"
if ! perf record -q --call-graph dwarf,16384 -F 1999 -o "$work/perf.data" -- \
    "$cli" --quiet "$(config "$longest")" "$input" "$work/tessaro-profile.wav" >>"$log" 2>&1; then
    echo "profile skipped: perf record failed (see $log; /proc/sys/kernel/perf_event_paranoid?)"
    exit 0
fi
# Each sample goes to the first group whose functions are on its stack.
perf script -i "$work/perf.data" -F comm,tid,ip,sym 2>>"$log" | awk '
    function on_stack(pattern) { return stack ~ pattern }
    function classify() {
        if (on_stack("ProcessBlock")) {
            if (on_stack("MultiplyFolded|MultiplyHalfSpectrum")) return "block: multiply-accumulate over the partitions"
            if (on_stack("spFFTFwd_RToPerm")) return "block: forward real FFT"
            if (on_stack("spFFTInv_CToC")) return "block: inverse complex FFT"
            return "block: copies, fold, rest of ProcessBlock"
        }
        if (on_stack("WaveFile")) return "WAV reading and writing (with the kernel)"
        if (on_stack("LevelMeters")) return "metering, gain, clipping"
        if (on_stack("ProcessFile|WorkerMain")) return "worker: conversion, progress, rest"
        if (on_stack("LoadConfiguration|FilterConfig")) {
            if (on_stack("spFFTFwd_CToC")) return "load: filter partition FFTs"
            return "load: reading the MAT file, rest of the load"
        }
        if (on_stack("CreateEngine|OnInitDialog")) return "start: engine buffers (allocate, zero)"
        return "process start and exit, dynamic loading, rest"
    }
    function flush() {
        if (stack == "") return
        count[classify()]++
        total++
        stack = ""
    }
    /^[^ \t]/ || /^[ \t]*$/ { flush(); next }
    { stack = stack " " $2 }
    END {
        flush()
        for (group in count) printf "%6.1f%%  %s\n", 100 * count[group] / total, group | "sort -rn"
        close("sort -rn")
        printf "(%d samples)\n", total
    }'
rm -f "$work/perf.data" "$work/perf.data.old"
