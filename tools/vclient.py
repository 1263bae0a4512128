#!/usr/bin/env python3
"""Small client for trying the simulator by hand: frames commands with their
checksum, prints every byte the simulator sends back.

  tools/vclient.py [--host H] [--port P] [--wait S] COMMAND...

A COMMAND is the text before the checksum, e.g. WHO_ARE_YOU# or ARM#0#200#;
a COMMAND starting with "raw:" is sent as it stands plus a line feed.
"""
import argparse, socket, sys, time

def frame(text):
    if text.startswith("raw:"):
        return text[4:].encode("latin-1") + b"\n"
    data = text.encode("latin-1")
    return data + str(sum(data) % 256).encode() + b"\n"

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=3000)
    ap.add_argument("--wait", type=float, default=0.5, help="seconds to listen after each command")
    ap.add_argument("commands", nargs="*")
    a = ap.parse_args()
    try:
        s = socket.create_connection((a.host, a.port), timeout=5)
    except OSError as e:
        # One line that says what is wrong, not a traceback.
        sys.exit(f"vclient: cannot connect to {a.host}:{a.port}: {e.strerror or e}")
    s.settimeout(a.wait)
    try:
        talk(s, a)
    except OSError as e:
        sys.exit(f"vclient: the connection to {a.host}:{a.port} failed: {e.strerror or e}")
    s.close()


def talk(s, a):
    for c in a.commands:
        s.sendall(frame(c))
        got = b""
        end = time.time() + a.wait
        while time.time() < end:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            got += chunk
        print(f"> {c!r}\n< {got[:400]!r}{' ...' if len(got) > 400 else ''} ({len(got)} bytes)")


if __name__ == "__main__":
    main()
