#!/usr/bin/env bash
# scripts/cluster/submit and the scripts it submits, against a stand-in
# Slurm: sbatch, squeue and scontrol on PATH that record their arguments and
# run each job at once on this machine (every task of an array in turn), its
# output where sbatch's --output pattern puts it. The tasks run the real
# tessaro-cli on small files made with sox.
#
#   tests/scripts/cluster_test.sh TESSARO_CLI
#
# Exit status 77 (skipped) when sox or jq is missing.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cli=$(realpath -- "${1:?usage: $0 TESSARO_CLI}") || exit 1
for tool in sox jq; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: skipped" >&2; exit 77; }
done
submit=$root/scripts/cluster/submit
tmp=$(mktemp -d) || exit 1
trap 'rm -rf -- "$tmp"' EXIT
unset "${!SLURM_@}" "${!SBATCH_@}" TESSARO_WAIT_LIMIT
export FAKE_SLURM=$tmp/slurm
mkdir -p "$FAKE_SLURM" "$tmp/bin" "$tmp/work" || exit 1

cat >"$tmp/bin/sbatch" <<'EOF'
#!/usr/bin/env bash
# Records its arguments in $FAKE_SLURM/sbatch-ID.args (NUL-separated) and
# prints the job id. A job with a --dependency is left pending for ever when
# FAKE_SLURM_STUCK is set; the array tasks listed in FAKE_SLURM_LOSE never run.
set -uo pipefail
id=$(cat "$FAKE_SLURM/next-id" 2>/dev/null || echo 100)
echo $((id + 100)) >"$FAKE_SLURM/next-id"
printf '%s\0' "$@" >"$FAKE_SLURM/sbatch-$id.args"
array="" output="" dependency=""
while [ $# -gt 0 ]; do
    case $1 in
    --array=*) array=${1#--array=} ;;
    --output=*) output=${1#--output=} ;;
    --dependency=*) dependency=${1#--dependency=} ;;
    -*) ;;
    *) break ;;
    esac
    shift
done
script=$1
shift
echo "$id"

# The file an --output pattern names, as slurmstepd makes it for a batch job:
# %% is a %, %A %a %j %J %n %N %s %t %u %x (with an optional width) are
# replaced, and a backslash anywhere turns the replacing off (it is dropped,
# a doubled one kept once).
expand() {
    local pattern=$1 task=$2 job=$3 name="" i c value
    if [[ $pattern == *\\* ]]; then
        for ((i = 0; i < ${#pattern}; i++)); do
            c=${pattern:i:1}
            if [[ $c == \\ ]]; then
                [[ ${pattern:i+1:1} == \\ ]] && { name+=\\; i=$((i + 1)); }
                continue
            fi
            name+=$c
        done
        printf '%s' "$name"
        return
    fi
    for ((i = 0; i < ${#pattern}; i++)); do
        c=${pattern:i:1}
        if [[ $c != % ]]; then
            name+=$c
        elif [[ ${pattern:i+1:1} == % ]]; then
            name+=%
            i=$((i + 1))
        elif [[ ${pattern:i+1} =~ ^([0-9]*)([aAjJnNstux]) ]]; then
            case ${BASH_REMATCH[2]} in
            a) value=$task ;;
            A) value=$id ;;
            j | J) value=$job ;;
            n | s | t) value=0 ;;
            N) value=node0 ;;
            u) value=$(id -un) ;;
            x) value=$(basename -- "$script") ;;
            esac
            if [ -n "${BASH_REMATCH[1]}" ] && [[ $value =~ ^[0-9]+$ ]]; then
                printf -v value '%0*d' "${BASH_REMATCH[1]}" "$value"
            fi
            name+=$value
            i=$((i + ${#BASH_REMATCH[0]}))
        else
            name+=%
        fi
    done
    printf '%s' "$name"
}

if [ -n "$dependency" ] && [ -n "${FAKE_SLURM_STUCK:-}" ]; then
    echo "$id" >>"$FAKE_SLURM/pending"
    exit 0
fi
if [ -z "$array" ]; then
    file=$(expand "${output:-slurm-%j.out}" 4294967294 "$id")
    SLURM_JOB_ID=$id bash "$script" "$@" >"$file" 2>&1
    exit 0
fi
for ((task = ${array%-*}; task <= ${array#*-}; task++)); do
    [[ " ${FAKE_SLURM_LOSE:-} " == *" $task "* ]] && continue
    file=$(expand "${output:-slurm-%A_%a.out}" "$task" $((id + task)))
    SLURM_JOB_ID=$((id + task)) SLURM_ARRAY_JOB_ID=$id SLURM_ARRAY_TASK_ID=$task \
        bash "$script" "$@" >"$file" 2>&1
done
exit 0
EOF
cat >"$tmp/bin/squeue" <<'EOF'
#!/usr/bin/env bash
# squeue -h -j ID -o FORMAT: a job left pending is PENDING, every other one
# has ended and is listed no more; %l, the time limit, is FAKE_SLURM_TIME_LIMIT.
job="" format=""
while [ $# -gt 0 ]; do
    case $1 in
    -j) job=$2; shift ;;
    -o) format=$2; shift ;;
    esac
    shift
done
case $format in
%T) grep -qx -- "$job" "$FAKE_SLURM/pending" 2>/dev/null && echo PENDING ;;
%l) echo "${FAKE_SLURM_TIME_LIMIT:-UNLIMITED}" ;;
esac
exit 0
EOF
cat >"$tmp/bin/scontrol" <<'EOF'
#!/usr/bin/env bash
[ "$*" = "show config" ] && echo "MaxArraySize            = 1001"
EOF
chmod +x "$tmp/bin"/*
export PATH=$tmp/bin:$PATH

cd "$tmp/work" || exit 1
sox -n -r 48000 -c 4 -b 16 room.wav synth 0.01 noise vol 0.1 || exit 1
for take in take "-dash take" "lost take"; do
    sox -n -r 48000 -c 2 -b 16 -- "$take.wav" synth 0.2 sine 440 vol 0.3 || exit 1
done

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Runs submit with the arguments given, for at most $bound (30) seconds; its status in
# $status, its standard error in $tmp/stderr.
run_submit() {
    status=0
    timeout -k 5 "${bound:-30}" "$submit" --cli "$cli" "$@" >/dev/null 2>"$tmp/stderr" || status=$?
}

echo "-- an input whose name begins with a dash is a file, not an option"
run_submit --wait --output-dir out1 room.wav "-dash take.wav" take.wav
[ "$status" -eq 0 ] || fail "dash: submit --wait exit status $status, not 0"
jq -e '.failed == 0 and ([.files[] | select(.ok)] | length) == 2' out1/report.json >/dev/null ||
    fail "dash: out1/report.json does not hold two complete files"
[ -f "out1/-dash take.wav" ] || fail "dash: no output for -dash take.wav"

echo "-- a task that left no report: an entry of a real one's keys, null where unknown"
FAKE_SLURM_LOSE=1 run_submit --wait --output-dir out2 room.wav take.wav "lost take.wav"
[ "$status" -eq 1 ] || fail "lost: submit --wait exit status $status, not 1"
# The keys, in order, of the entry tessaro-cli wrote for take.wav.
jq -e '(.files | length) == 2 and .failed == 1 and (.files[0] | .ok)
    and (.files[1] | keys_unsorted) == (.files[0] | keys_unsorted)' out2/report.json >/dev/null ||
    fail "lost: the stand-in entry's keys are not those of a real entry"
jq -e '.files[1] | .input == "lost take.wav" and .output == "out2/lost take.wav"
    and .status == "Error" and .ok == false and (.report | test("no report"))
    and ([del(.input, .output, .status, .ok, .report)[]] | all(. == null))' \
    out2/report.json >/dev/null ||
    fail "lost: the stand-in entry is not an error with null figures and its reason"

echo "-- a % in the output folder is a %, not one of sbatch's file name fields"
out="out 100%A %j %%"
run_submit --wait --output-dir "$out" room.wav take.wav
[ "$status" -eq 0 ] || fail "percent: submit --wait exit status $status, not 0"
logs=$(cd "$out/logs" 2>/dev/null && printf '%s\n' *.out | sed 's/[0-9][0-9]*/N/g' | paste -sd' ')
[ "$logs" = "merge-N.out tessaro-N_N.out" ] || fail "percent: the logs in '$out/logs' are '$logs'"
[ -f "$out/report.json" ] || fail "percent: no $out/report.json"

echo "-- a backslash in the output folder is refused before anything is submitted"
rm -f "$FAKE_SLURM"/sbatch-*.args
run_submit --output-dir 'out\4' room.wav take.wav
[ "$status" -eq 2 ] || fail "backslash: submit exit status $status, not 2"
compgen -G "$FAKE_SLURM/sbatch-*.args" >/dev/null && fail "backslash: sbatch was called"

echo "-- a merge that never ends: --wait gives up, says so and exits 3"
# Each line: how the bound is set (an option, the environment, the tasks'
# time limit), then submit's options.
while IFS='|' read -r how limit variable options; do
    status=0
    (
        export FAKE_SLURM_STUCK=1 FAKE_SLURM_TIME_LIMIT=$limit
        [ -z "$variable" ] || export "${variable?}"
        bound=20
        # shellcheck disable=SC2086
        run_submit --wait $options --output-dir out5 room.wav take.wav
        exit "$status"
    ) || status=$?
    [ "$status" -eq 3 ] || fail "stuck, $how: submit --wait exit status $status, not 3"
    grep -q "merge job [0-9]* has not ended" "$tmp/stderr" ||
        fail "stuck, $how: submit said '$(cat "$tmp/stderr")'"
done <<'CASES'
--wait-limit|UNLIMITED||--wait-limit 1
TESSARO_WAIT_LIMIT|UNLIMITED|TESSARO_WAIT_LIMIT=1|
the tasks' time limit, twice|0:01||
CASES
run_submit --wait --wait-limit soon --output-dir out6 room.wav take.wav
[ "$status" -eq 2 ] || fail "--wait-limit soon: submit exit status $status, not 2"

[ "$failures" -eq 0 ] || exit 1
echo "cluster scripts: every case as expected"
