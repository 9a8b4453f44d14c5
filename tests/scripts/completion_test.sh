#!/usr/bin/env bash
# The bash completion of tessaro-cli, called as bash calls it: each line of
# the table is the words typed so far and the one candidate expected. Names
# with spaces must come back whole, one candidate each.
#
#   tests/scripts/completion_test.sh [COMPLETION_FILE]
# Not under set -eu: bash runs a completion in the user's interactive shell.
root=$(cd "$(dirname "$0")/../.." && pwd)
completion=${1:-$root/resources/tessaro-cli.bash-completion}
folder=$(mktemp -d) || exit 1
trap 'rm -rf -- "$folder"' EXIT
cd "$folder" && mkdir "out dir" &&
    touch "my take.wav" "my room.mat" "out dir/left ir.wav" notes.txt || exit 1

# shellcheck source=/dev/null
source "$completion" || exit 1
failures=0
# completes EXPECTED WORD...: the last word is the one being completed.
completes() {
    local expected=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _tessaro_cli tessaro-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    if [ ${#COMPREPLY[@]} -ne 1 ] || [ "${COMPREPLY[0]}" != "$expected" ]; then
        printf 'FAIL: %s completes to' "$*" >&2
        printf ' [%s]' "${COMPREPLY[@]}" >&2
        printf ', not [%s]\n' "$expected" >&2
        failures=$((failures + 1))
    fi
}

completes "my room.mat" tessaro-cli "my\\ r"
completes "my take.wav" tessaro-cli "my room.mat" "my"
completes "my take.wav" tessaro-cli "my room.mat" "my\\ t"
completes "my take.wav" tessaro-cli "my room.mat" "\"my t"
completes "my take.wav" tessaro-cli "my room.mat" "'my t"
completes "out dir" tessaro-cli --output-dir "ou"
completes "out dir/left ir.wav" tessaro-cli --right-ir "out\\ dir/l"
completes "my take.wav" tessaro-cli --report-json "my\\ t"
completes --partition tessaro-cli --part
completes auto tessaro-cli --partition a

[ "$failures" -eq 0 ] || exit 1
echo "completion: every case completes"
