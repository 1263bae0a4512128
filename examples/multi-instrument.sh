#!/usr/bin/env bash
# A lab on one machine: three instruments at once, each at its own address with
# its own model, driven by one script. Each client must get its own model's
# answers byte for byte; `vantis-ctl list` must show all three; a fourth
# instance on a taken address must fail at once and say why; every instance
# must end with status 0.
#
# Needs bash, coreutils and the project's build (build/vantis-sim and
# build/vantis-ctl; BUILD_DIR names another). The clients are bash's /dev/tcp.
# VANTIS_PORT sets the port (default 3000, the instrument's); "free" picks one
# that none of the three addresses uses.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
port=${VANTIS_PORT:-3000}
names=(lab-a lab-b lab-c)
addresses=(127.0.0.1 127.0.0.2 127.0.0.3)
models=("Polar" "Hybrid III 50th Male" "2ndGen WorldSID")

# This lab's own runtime folder, so that `list` shows its instruments alone.
runtime=$(mktemp -d)
export XDG_RUNTIME_DIR=$runtime
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done  # their sockets go before the folder
    rm -rf "$runtime"
}
trap cleanup EXIT
fail() { echo "multi-instrument: $*" >&2; exit 1; }
ctl() { "$build/vantis-ctl" "$@"; }

listening() { (exec 9<>"/dev/tcp/$1/$2") 2>/dev/null; }
if [ "$port" = free ]; then
    for _ in $(seq 50); do
        port=$((20000 + RANDOM % 12000))  # below the system's ephemeral ports: no client holds one
        taken=0
        for a in "${addresses[@]}"; do listening "$a" "$port" && taken=1; done
        [ "$taken" = 0 ] && break
    done
fi

sum() {  # the protocol's line checksum: decimal byte sum modulo 256
    local s=0 i c
    for ((i = 0; i < ${#1}; i++)); do printf -v c '%d' "'${1:i:1}"; s=$((s + c)); done
    echo $((s % 256))
}
# ask FD REQUEST REPLY: sends the request with its sum, wants exactly the reply.
ask() {
    local line
    printf '%s%s\n' "$2" "$(sum "$2")" >&"$1"
    IFS= read -r -t 30 line <&"$1" || fail "no reply to $2"
    [ "$line" = "$3$(sum "$3")"$'\r' ] || fail "asked $2: got '${line%$'\r'}', wanted '$3$(sum "$3")'"
}

# 1. Three instruments, headless, each named and with its own model.
for i in 0 1 2; do
    "$build/vantis-sim" --headless --name "${names[i]}" --listen "${addresses[i]}:$port" --model "${models[i]}" &
    pids+=($!)
done
for name in "${names[@]}"; do ctl --name "$name" wait ready --timeout 30; done

# 2. A fourth on a taken address ends at once with one line naming it.
start=$(date +%s%N)
status=0
err=$("$build/vantis-sim" --headless --listen "127.0.0.2:$port" 2>&1 >/dev/null) || status=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$status" = 255 ] || fail "the fourth instance ended with $status, not 255"
[ "$elapsed_ms" -lt 2000 ] || fail "the fourth instance took $elapsed_ms ms to give up"
[ "$(printf '%s\n' "$err" | wc -l)" = 1 ] && [[ $err == *"127.0.0.2:$port"* ]] || fail "the fourth instance said: $err"

# 3. A client for each, and the panels set through vantis-ctl.
exec 3<>"/dev/tcp/${addresses[0]}/$port" 4<>"/dev/tcp/${addresses[1]}/$port" 5<>"/dev/tcp/${addresses[2]}/$port"
for name in "${names[@]}"; do ctl --name "$name" wait connected; done
ctl --name lab-a direction right
ctl --name lab-c battery discharged

# 4. Each answers as its own model.
ask 3 'WHO_ARE_YOU#' 'WHO_ARE_YOU#Polar#'
ask 4 'WHO_ARE_YOU#' 'WHO_ARE_YOU#50th Male#'
ask 5 'WHO_ARE_YOU#' 'WHO_ARE_YOU#WorldSID Male#'
ask 3 'HOW_MANY_LEDS#' 'HOW_MANY_LEDS#6#'
ask 4 'HOW_MANY_LEDS#' 'HOW_MANY_LEDS#12#'
ask 5 'HOW_MANY_LEDS#' 'HOW_MANY_LEDS#18#'
ask 3 'FIRMWARE#' 'FIRMWARE#P0000#'
ask 4 'FIRMWARE#' 'FIRMWARE#50S0005#'
ask 5 'FIRMWARE#' 'FIRMWARE#VA2_R001.4#'
ask 3 'DIRECTION#' 'DIRECTION#RIGHT#'
ask 5 'DIRECTION#' 'DIRECTION#LEFT#'
ask 5 'GETBATINFO#' 'GETBATINFO#-2#0.0#'
# A setting on one instrument stays there.
ask 4 'TRIGGERSET#2#' 'TRIGGERSET#2#'
ask 4 'GETTRIGGER#' 'GETTRIGGER#2#'
ask 3 'GETTRIGGER#' 'GETTRIGGER#0#'

# 5. The list shows all three, each with its address, model and client.
list=$(ctl list)
for i in 0 1 2; do
    grep -qxF "${names[i]}"$'\t'"${addresses[i]}:$port"$'\t'"${models[i]}"$'\t'connected <<<"$list" ||
        fail "list lacks ${names[i]}: $list"
done
[ "$(wc -l <<<"$list")" = 3 ] || fail "list: $list"
[[ $(ctl list --json) == *'"address":"127.0.0.3:'$port'","connected":true,"model":"2ndGen WorldSID","name":"lab-c"'* ]] ||
    fail "list --json: $(ctl list --json)"

# 6. The end: one by vantis-ctl, one by SIGTERM, one by SIGINT; each with status 0.
exec 3>&- 4>&- 5>&-
ctl --name lab-a close
kill -TERM "${pids[1]}"
kill -INT "${pids[2]}"
for i in 0 1 2; do
    status=0
    wait "${pids[i]}" || status=$?
    [ "$status" = 0 ] || fail "${names[i]} ended with status $status"
done
pids=()
[ -z "$(ctl list)" ] || fail "instances left after the end: $(ctl list)"
echo "multi-instrument: three instruments on port $port passed"
