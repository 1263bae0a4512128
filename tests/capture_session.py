#!/usr/bin/env python3
"""A whole cycle as a host would run it on 2ndGen WorldSID: identity, the
configuration record, a test comment, erase, arm, a trigger from the client,
the window and two downloads, then a request with a bad checksum. Each step
waits for its whole answer, so the session is the same every time.

  capture_session.py PORT
"""
import socket, sys, time

def frame(text):
    data = text.encode("latin-1")
    return data + str(sum(data) % 256).encode() + b"\n"

class Client:
    def __init__(self, port):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.buf = b""

    def take(self, n):
        while len(self.buf) < n:
            chunk = self.s.recv(65536)
            if not chunk:
                raise SystemExit("connection closed after %r" % self.buf[-40:])
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def line(self, end=b"\r\n"):
        while end not in self.buf:
            chunk = self.s.recv(65536)
            if not chunk:
                raise SystemExit("connection closed after %r" % self.buf[-40:])
            self.buf += chunk
        i = self.buf.index(end) + len(end)
        out, self.buf = self.buf[:i], self.buf[i:]
        return out

    def ask(self, text, raw=False):
        self.s.sendall(text if raw else frame(text))
        return self.line()

def main():
    c = Client(int(sys.argv[1]))
    c.ask("WHO_ARE_YOU#")
    c.ask("FIRMWARE#")
    c.s.sendall(frame("SENDCONFIG#"))
    c.take(256)
    c.s.sendall(frame("SETTESTCOMMENT#"))
    assert c.line(b"\n") == b"COMMENT?\n"
    c.ask(b"lab run 7\n", raw=True)
    c.ask("GETTESTCOMMENT#")
    c.ask("ERASE#")
    c.ask("ARM#0#20#")
    assert c.ask("S#") == b"S#1#202\r\n"
    time.sleep(0.05)  # the window then starts well before -1 ms
    c.ask(b"T#119\n", raw=True)
    time.sleep(0.3)  # well past the 20 ms after the trigger
    assert c.ask("S#") == b"S#3#204\r\n"
    c.ask("DUMPINFO#")
    for request in ("DUMPBINA#-1#1#", "DUMPBIN#0#2#"):
        header = c.ask(request).decode()
        words, frames = int(header.split("#")[1]), int(header.split("#")[2])
        c.take(frames * (2 * words + 1))
    assert c.ask("raw:WHO_ARE_YOU#165".encode()[4:] + b"\n", raw=True) == b"?1 - should be 164\r\n"
    c.s.close()

if __name__ == "__main__":
    main()
