#!/usr/bin/env bash
# The README's CI recipe, runnable: start the simulator headless, drive a whole
# recording cycle with vantis-ctl and a client on port 3000, check every reply
# byte for byte, and end with the simulator's exit status.
#
# Needs only bash, coreutils and the project's build (build/vantis-sim and
# build/vantis-ctl; BUILD_DIR names another). The client is bash's /dev/tcp.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
ctl() { "$build/vantis-ctl" "$@"; }

sim=
cleanup() { [ -n "$sim" ] && kill "$sim" 2>/dev/null || true; }
trap cleanup EXIT
fail() { echo "ci-recipe: $*" >&2; exit 1; }

# Decimal byte sum modulo 256: the protocol's line checksum.
sum() {
    local s=0 i c
    for ((i = 0; i < ${#1}; i++)); do printf -v c '%d' "'${1:i:1}"; s=$((s + c)); done
    echo $((s % 256))
}
send() { printf '%s%s\n' "$1" "$(sum "$1")" >&3; }       # a command line, with its sum
expect() {                                                 # the next reply line, exactly
    local line
    IFS= read -r -t 30 line <&3 || fail "no reply (wanted $1)"
    [ "$line" = "$1$(sum "$1")"$'\r' ] || fail "got '${line%$'\r'}', wanted '$1$(sum "$1")'"
}
hex() { od -An -v -tx1 | tr -d ' \n'; }

# The frames of DUMPBIN#-1#1# for Hybrid III 50th Male (12 LEDs, 2 axes): ten
# before the trigger, eleven from it on; each ends with the sum of its bytes.
frame() {
    local after=$1 l j w s=0 out=
    for ((l = 1; l <= 12; l++)); do
        for ((j = 1; j <= 2; j++)); do
            if [ "$after" = 1 ]; then w=$((2010 + 1000 * (l - 1) + 10 * (j - 1)))
            else w=$((1100 + 1000 * (l - 1) + 100 * (j - 1))); fi
            printf -v out '%s%02x%02x' "$out" $((w & 255)) $((w >> 8))
            s=$((s + (w & 255) + (w >> 8)))
        done
    done
    printf '%s%02x' "$out" $((s % 256))
}
frames=
for ((i = 0; i < 21; i++)); do frames+=$(frame $((i >= 10))); done

download() {
    send 'DUMPBIN#-1#1#'
    expect 'DUMPBIN#24#21#'
    [ "$(timeout 30 head -c $((21 * 49)) <&3 | hex)" = "$frames" ] || fail "download frames differ ($1)"
}

# 1. The simulator, headless, in the background.
QT_QPA_PLATFORM=offscreen "$build/vantis-sim" &
sim=$!
ctl wait ready --timeout 30

# 2. A model (its short name), and a client on port 3000.
ctl model h3-50
exec 3<>/dev/tcp/127.0.0.1/3000
ctl wait connected
send 'WHO_ARE_YOU#'
expect 'WHO_ARE_YOU#50th Male#'

# 3. The recording cycle: ERASE (its 32 ticks ten times as fast), ARM, the
#    panel's TRIGGER 300 ms after arming, and the window it recorded: the same
#    in every run, from -300 ms (on a machine too busy to run the simulator
#    when the time comes, a few ms later).
ctl time-scale 10
send 'ERASE#'
expect 'ERASE#0#'
ctl time-scale 1
ctl trigger --after 300
send 'ARM#0#200#'
expect 'ARM#0#200#'
ctl wait armed
ctl wait recorded
send 'DUMPINFO#'
IFS= read -r -t 30 info <&3 || fail "no DUMPINFO reply"
[[ $info =~ ^(DUMPINFO#(-[0-9]+)#200#)([0-9]+)$'\r'$ ]] || fail "DUMPINFO reply '$info'"
[ "${BASH_REMATCH[3]}" = "$(sum "${BASH_REMATCH[1]}")" ] || fail "DUMPINFO checksum"
start=${BASH_REMATCH[2]}
((start <= -300 && start >= -305)) || fail "the trigger 300 ms after arming recorded from $start ms"

# 4. The download at both speeds.
ctl time-scale 1
download fast
ctl speed normal
download normal

# 5. What the panel shows, then the end.
state=$(ctl state)
[[ $state == *"\"record_state\":3,\"window\":[$start,200]"* ]] || fail "state: $state"
[[ $state == *'"speed":{"value":1,"text":"Normal"'* ]] || fail "state: $state"
[[ $(ctl traffic transmit) == *"ARM#0#200#11"$'\n'* ]] || fail "TRANSMIT box"
exec 3>&-
ctl wait disconnected
ctl close
status=0
wait "$sim" || status=$?
sim=
[ "$status" = 0 ] || fail "the simulator ended with status $status"
echo "ci-recipe: recording cycle passed (window $start..200 ms)"
