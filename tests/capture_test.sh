#!/usr/bin/env bash
# Captures, the dissector and the replay check, on the real programs.
#
#   capture_test.sh CASE BUILD_DIR SOURCE_DIR WORK_DIR
#
# session    (the others need it) a whole cycle captured twice at once, by
#            --capture and by tcpdump on loopback, then a second capture
#            started by the control channel with a link fault, a reset and an
#            IPv6 conversation; all on port 3000 in a network namespace of its own
# dissect    tshark with the dissector reads both captures alike
# replay     vantis-replay against fresh, other and loaded simulators, and a cut capture
# errors     --capture that cannot write ends the start; a full disk stops only the capture
#
# Exit 77 (skipped) where no namespace can be made.
set -euo pipefail
case_name=$1 build=$2 source=$3 work=$4
sim=$build/vantis-sim ctl=$build/vantis-ctl replay=$build/vantis-replay
lua=$source/packaging/wireshark/vantis.lua
session_py=$source/tests/capture_session.py
mkdir -p "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs this script again inside new namespaces (n: network, m: mounts).
in_namespace() {
  local kinds=$1
  shift
  if [ -z "${VANTIS_IN_NS:-}" ]; then
    local how=()
    # Inside a chroot whose root is no mount point, unshare cannot make the
    # mounts private itself: keep them as they are and make them private inside.
    unshare "-$kinds" true 2>/dev/null || how=(--propagation unchanged)
    if ! unshare "-$kinds" "${how[@]}" true 2>/dev/null; then
      echo "SKIP: cannot make a namespace (unshare -$kinds needs root or user namespaces)"
      exit 77
    fi
    VANTIS_IN_NS=1 exec unshare "-$kinds" "${how[@]}" "$0" "$case_name" "$build" "$source" "$work"
  fi
  case $kinds in *m*) mount --make-rprivate / 2>/dev/null || true ;; esac
  ip link set lo up
}

private_runtime() {
  export XDG_RUNTIME_DIR=$work/run-$case_name
  rm -rf "$XDG_RUNTIME_DIR"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
}

tshark_fields() {  # FILE FIELD: every value of FIELD, one a line, in order
  local out
  out=$(HOME=$work/tshark-home WIRESHARK_CONFIG_DIR=$work/tshark-home \
    tshark -r "$1" -X lua_script:"$lua" -Y vantis -T fields -E occurrence=a -E 'aggregator=|' -e "$2" 2>&1 >"$work/fields.out") ||
    fail "tshark could not read $1: $out"
  tr '|' '\n' <"$work/fields.out" | sed '/^$/d'
}

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

start_sim() {  # NAME LOG ARGS...: started headless; waits until it serves
  local name=$1 log=$2
  shift 2
  "$sim" --headless --name "$name" "$@" >"$log" 2>&1 &
  pids+=($!)
  "$ctl" --name "$name" --timeout 20 wait ready >/dev/null || { cat "$log" >&2; fail "$name did not start"; }
}

stop_sim() {  # NAME
  "$ctl" --name "$1" close >/dev/null
  wait "${pids[-1]}" || fail "$1 did not close cleanly"
  unset 'pids[-1]'
}

case $case_name in
session)
  in_namespace n
  private_runtime
  rm -f "$work"/*.pcap
  # A buffer far beyond the session's bytes: a busy machine may leave tcpdump unscheduled for a while.
  tcpdump -i lo -U --immediate-mode -B 65536 -Z root -w "$work/tcpdump.pcap" 'tcp port 3000' 2>"$work/tcpdump.err" &
  dump=$!
  pids+=($dump)
  for _ in $(seq 100); do grep -q "listening on" "$work/tcpdump.err" && break; sleep 0.1; done
  grep -q "listening on" "$work/tcpdump.err" || fail "tcpdump did not start: $(cat "$work/tcpdump.err")"

  start_sim cap-a "$work/sim-a.log" --listen 127.0.0.1:3000 --model 10 --capture "$work/sim.pcap"
  python3 "$session_py" 3000 || fail "the session did not run through"
  "$ctl" --name cap-a wait disconnected >/dev/null
  "$ctl" --name cap-a state | grep -qF "\"capture\":{\"file\":\"$work/sim.pcap\",\"error\":null}" ||
    fail "state does not name the capture: $("$ctl" --name cap-a state)"
  "$ctl" --name cap-a capture stop >/dev/null
  # tcpdump has written every packet once the last, the client's FIN, is in its file.
  for _ in $(seq 50); do
    [ "$(tcpdump -r "$work/tcpdump.pcap" 'tcp[tcpflags] & tcp-fin != 0' 2>/dev/null | wc -l)" -ge 2 ] && break
    sleep 0.1
  done
  kill -INT "$dump"
  wait "$dump" || true
  unset 'pids[0]'
  grep -q '^0 packets dropped by kernel' "$work/tcpdump.err" ||
    fail "tcpdump lost packets (the machine too busy?): $(tr '\n' ' ' <"$work/tcpdump.err")"

  # The control channel's capture, with faults on the wire.
  "$ctl" --name cap-a capture start "$work/faults.pcap" >/dev/null
  python3 - "$ctl" <<'EOF' || fail "the fault session did not run through"
import socket, subprocess, sys
ctl = sys.argv[1]
def frame(t):
    d = t.encode(); return d + str(sum(d) % 256).encode() + b"\n"
s = socket.create_connection(("127.0.0.1", 3000), timeout=10)
def line():
    b = b""
    while not b.endswith(b"\r\n"):
        c = s.recv(1)
        if not c: raise SystemExit("closed")
        b += c
    return b
s.sendall(frame("WHO_ARE_YOU#")); line()
# Each fault in turn on the next reply (more kinds of fault go in this list).
for fault in (["fault", "corrupt-next"], ["fault", "reply", "bad-checksum"]):
    subprocess.run([ctl, "--name", "cap-a"] + fault, check=True, stdout=subprocess.DEVNULL)
    s.sendall(frame("FIRMWARE#")); line()
# A download that leaves in pieces of 50 bytes: frames cut across segments.
subprocess.run([ctl, "--name", "cap-a", "fault", "slice", "50", "1"], check=True, stdout=subprocess.DEVNULL)
s.sendall(frame("DUMPBINA#-1#1#")); line()
left = 21 * 121
while left:
    left -= len(s.recv(left))
subprocess.run([ctl, "--name", "cap-a", "fault", "clear"], check=True, stdout=subprocess.DEVNULL)
subprocess.run([ctl, "--name", "cap-a", "fault", "reset"], check=True, stdout=subprocess.DEVNULL)
s.settimeout(5)
try:
    while s.recv(100): pass
except ConnectionResetError:
    pass
EOF
  "$ctl" --name cap-a wait disconnected >/dev/null
  stop_sim cap-a  # the capture is complete once the program has ended

  start_sim cap-b "$work/sim-b.log" --listen '[::1]:3000' --model 6 --capture "$work/ipv6.pcap"
  python3 - "$ctl" <<'EOF' || fail "no IPv6 conversation"
import socket, subprocess, sys
s = socket.create_connection(("::1", 3000), timeout=10)
s.sendall(b"WHO_ARE_YOU#164\n")
b = b""
while not b.endswith(b"\r\n"): b += s.recv(100)
# The connection ends in the middle of a download.
subprocess.run([sys.argv[1], "--name", "cap-b", "fault", "close-after", "100"], check=True, stdout=subprocess.DEVNULL)
s.sendall(b"DUMPBINA#-1#0#71\n")
while s.recv(1000): pass
s.close()
EOF
  "$ctl" --name cap-b wait disconnected >/dev/null
  stop_sim cap-b
  ;;

dissect)
  mkdir -p "$work/tshark-home"
  # The commands in order; the ARM wait's S and T are status texts.
  want="WHO_ARE_YOU FIRMWARE SENDCONFIG SETTESTCOMMENT GETTESTCOMMENT ERASE ARM DUMPINFO DUMPBINA DUMPBIN WHO_ARE_YOU"
  got=$(tshark_fields "$work/sim.pcap" vantis.request | tr '\n' ' ' | sed 's/ $//')
  [ "$got" = "$want" ] || fail "requests: got '$got', want '$want'"
  got=$(tshark_fields "$work/sim.pcap" vantis.status | tr '\n' ' ')
  [ "$got" = "S#118 S#1#202 T#119 T#119 S#118 " ] || fail "ARM status texts: '$got'"
  [ "$(tshark_fields "$work/sim.pcap" vantis.comment)" = 'lab run 7\n' ] || fail "comment not decoded"
  [ "$(tshark_fields "$work/sim.pcap" vantis.config.text | tr '\n' '/')" = "9999/1 January 2023/2 January 2023/VAZID/WorldSID Male/" ] ||
    fail "configuration record texts: $(tshark_fields "$work/sim.pcap" vantis.config.text | tr '\n' '/')"
  # Frames: as many as the headers say, every checksum good, the words as sent.
  headers=$(tshark_fields "$work/sim.pcap" vantis.download.frames | awk '{n += $1} END {print n}')
  frames=$(tshark_fields "$work/sim.pcap" vantis.frame.index | wc -l)
  [ "$headers" = 42 ] && [ "$frames" = 42 ] || fail "frames: headers say $headers, decoded $frames"
  [ "$(tshark_fields "$work/sim.pcap" vantis.frame.checksum_valid | sort -u)" = 1 ] || fail "a frame checksum is not valid"
  [ "$(tshark_fields "$work/sim.pcap" vantis.frame.coord | head -1)" = 1100 ] || fail "first coordinate"
  [ "$(tshark_fields "$work/sim.pcap" vantis.frame.extra | sort -un | tr '\n' ' ')" = "500 1000 1500 2000 2500 3000 " ] ||
    fail "extra words"
  [ "$(tshark_fields "$work/sim.pcap" vantis.checksum.valid | tr '\n' ' ' | sed 's/ $//' | awk '{print $NF}')" = 0 ] ||
    fail "the last request's bad checksum is not flagged"
  # TCP as Wireshark sees it: a handshake, consistent numbers, the client's FIN.
  packets() { HOME=$work/tshark-home WIRESHARK_CONFIG_DIR=$work/tshark-home tshark -r "$1" -Y "$2" 2>/dev/null | wc -l; }
  [ "$(packets "$work/sim.pcap" tcp.analysis.flags)" = 0 ] || fail "TCP analysis finds faults: $(packets "$work/sim.pcap" tcp.analysis.flags)"
  [ "$(packets "$work/sim.pcap" 'tcp.flags.syn==1')" = 2 ] || fail "no handshake"
  [ "$(packets "$work/sim.pcap" 'tcp.flags.fin==1 && tcp.dstport==3000')" = 1 ] || fail "the client's FIN"
  # The same session seen by tcpdump on loopback decodes the same.
  for field in vantis.request vantis.reply vantis.field vantis.status vantis.comment vantis.config.text \
               vantis.download.frames vantis.frame.coord vantis.frame.extra vantis.frame.checksum vantis.checksum.valid; do
    tshark_fields "$work/sim.pcap" $field >"$work/fields.sim"
    tshark_fields "$work/tcpdump.pcap" $field >"$work/fields.tcpdump"
    [ -s "$work/fields.sim" ] && cmp -s "$work/fields.sim" "$work/fields.tcpdump" ||
      fail "$field differs between the --capture and the tcpdump capture"
  done
  # A corrupted reply shows as invalid, frames cut into pieces come together,
  # and a reset shows as our RST.
  [ "$(tshark_fields "$work/faults.pcap" vantis.checksum.valid | tr '\n' ' ')" = "1 1 1 0 1 0 1 1 " ] ||
    fail "faults: checksums $(tshark_fields "$work/faults.pcap" vantis.checksum.valid | tr '\n' ' ')"
  [ "$(tshark_fields "$work/faults.pcap" vantis.frame.checksum_valid | tr '\n' ' ')" = "$(printf '1 %.0s' $(seq 21))" ] ||
    fail "frames in pieces: $(tshark_fields "$work/faults.pcap" vantis.frame.checksum_valid | tr '\n' ' ')"
  HOME=$work/tshark-home WIRESHARK_CONFIG_DIR=$work/tshark-home tshark -r "$work/faults.pcap" -X lua_script:"$lua" \
    -Y 'tcp.flags.reset==1 && tcp.srcport==3000' 2>/dev/null | grep -q RST || fail "no RST from the instrument"
  HOME=$work/tshark-home WIRESHARK_CONFIG_DIR=$work/tshark-home tshark -r "$work/ipv6.pcap" -X lua_script:"$lua" \
    -Y 'ipv6.src==::1 && vantis.reply=="WHO_ARE_YOU"' 2>/dev/null | grep -q 'WHO_ARE_YOU#Polar' || fail "the IPv6 capture"
  HOME=$work/tshark-home WIRESHARK_CONFIG_DIR=$work/tshark-home tshark -r "$work/ipv6.pcap" -X lua_script:"$lua" \
    -Y vantis.download.short -T fields -e _ws.expert.message 2>/dev/null | grep -q 'Download ended after 2 of 11 frames' ||
    fail "a download cut short is not flagged"
  ;;

replay)
  private_runtime
  report=$work/replay-report.txt
  "$replay" "$work/sim.pcap" --report "$report" >/dev/null || fail "replay against a fresh simulator: status $? $(cat "$report")"
  grep -q '^MATCH: 15 replies compared, 0 differ, 0 missing, 0 extra; 42 frames compared, 0 differ$' "$report" ||
    fail "report: $(cat "$report")"
  "$replay" "$work/tcpdump.pcap" >/dev/null || fail "replay of the tcpdump capture"
  # Another model: the first reply already differs.
  set +e
  out=$("$replay" "$work/sim.pcap" --model "WorldSID 5th")
  rc=$?
  set -e
  [ $rc = 1 ] || fail "another model: status $rc"
  echo "$out" | grep -A3 '^DIFFERENCE 1:' | tr '\n' '|' |
    grep -q 'request 1 "WHO_ARE_YOU#164".*expected: WHO_ARE_YOU#WorldSID Male#78|  got:      WHO_ARE_YOU#WorldSID 5th#224|  first difference: field 1' ||
    fail "another model: $out"
  # Recorded data loaded: the frames differ, the first download is named.
  python3 "$source/tools/make-recording.py" 10 --start -10 --end 10 -o "$work/recording.csv"
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  start_sim cap-data "$work/sim-data.log" --listen 127.0.0.1:$port --model 10 --data "$work/recording.csv"
  set +e
  out=$("$replay" "$work/sim.pcap" --target 127.0.0.1:$port)
  rc=$?
  set -e
  [ $rc = 1 ] || fail "recorded data: status $rc: $out"
  echo "$out" | grep -A3 '^DIFFERENCE 1:' | tr '\n' '|' | grep -q 'request 13 "DUMPBINA#-1#1#72".*first difference: frame 0 word 1' ||
    fail "recorded data: $out"
  # Replies left out: the next download is the first to differ, then none.
  set +e
  out=$("$replay" "$work/sim.pcap" --target 127.0.0.1:$port --ignore DUMPBINA)
  rc=$?
  "$replay" "$work/sim.pcap" --target 127.0.0.1:$port --ignore DUMPBINA,DUMPBIN >/dev/null
  rc2=$?
  set -e
  stop_sim cap-data
  [ $rc = 1 ] && echo "$out" | grep -A1 '^DIFFERENCE 1:' | grep -q 'request 14 "DUMPBIN#0#2#218"' ||
    fail "--ignore DUMPBINA: status $rc: $out"
  [ $rc2 = 0 ] || fail "--ignore DUMPBINA,DUMPBIN: status $rc2"
  # A capture cut in the middle of a packet is refused.
  size=$(stat -c %s "$work/sim.pcap")
  head -c $((size - 20)) "$work/sim.pcap" >"$work/cut.pcap"
  set +e
  err=$("$replay" "$work/cut.pcap" 2>&1 >/dev/null)
  rc=$?
  set -e
  [ $rc = 2 ] && echo "$err" | grep -q "cut.pcap" || fail "cut capture: status $rc: $err"
  ;;

errors)
  in_namespace nm
  private_runtime
  # Files that cannot be written end the start with status 2 and a line naming them.
  # (A FIFO nobody reads must not block the start.)
  rm -f "$work/fifo" && mkfifo "$work/fifo"
  for target in "$work/no-such-folder/c.pcap" "$work" "$work/fifo"; do
    set +e
    err=$("$sim" --headless --name cap-e --listen 127.0.0.1:3000 --capture "$target" 2>&1)
    rc=$?
    set -e
    [ $rc = 2 ] && echo "$err" | grep -qF "$target" || fail "--capture $target: status $rc: $err"
  done
  # A full disk: the capture stops, reported once; the instrument goes on.
  mkdir -p "$work/small"
  mount -t tmpfs -o size=64k tmpfs "$work/small"
  start_sim cap-f "$work/sim-f.log" --listen 127.0.0.1:3000 --model 10 --capture "$work/small/c.pcap"
  python3 - <<'EOF' || fail "the download did not come through whole while the disk was full"
import socket
def frame(t):
    d = t.encode(); return d + str(sum(d) % 256).encode() + b"\n"
s = socket.create_connection(("127.0.0.1", 3000), timeout=20)
def take(n, buf=b""):
    while len(buf) < n:
        c = s.recv(65536)
        if not c: raise SystemExit("closed")
        buf += c
    return buf
s.sendall(frame("DUMPBINA#-200#1500#"))
header = frame("DUMPBINA#60#17001#").replace(b"\n", b"\r\n")
data = take(len(header) + 17001 * 121)
assert data.startswith(header), data[:30]
s.sendall(frame("WHO_ARE_YOU#"))
reply = b"WHO_ARE_YOU#WorldSID Male#78\r\n"
assert take(len(data) + len(reply), data)[len(data):] == reply
s.close()
EOF
  "$ctl" --name cap-f wait disconnected >/dev/null
  want="\"capture\":{\"file\":\"$work/small/c.pcap\",\"error\":\"No space left on device\"}"
  for _ in $(seq 50); do  # the file is written on a thread of its own
    state=$("$ctl" --name cap-f state)
    [[ $state == *"$want"* ]] && break
    sleep 0.1
  done
  [[ $state == *"$want"* ]] || fail "state after a full disk: $state"
  "$ctl" --name cap-f ping >/dev/null
  stop_sim cap-f
  [ "$(grep -c "capture to $work/small/c.pcap stopped: No space left on device" "$work/sim-f.log")" = 1 ] ||
    fail "the write error is not reported once: $(cat "$work/sim-f.log")"
  umount "$work/small"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASS: capture $case_name"
