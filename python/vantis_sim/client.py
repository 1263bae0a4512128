"""A client of the instrument's TCP protocol, for a simulated instrument or a
real one: requests framed and replies verified, the waits of ERASE and ARM,
and the binary download."""

import socket
import time

from .errors import (BadArgument, ChecksumError, ChecksumRejected, CommandRefused, ConnectionClosed,
                     NotErased, ProtocolError, ReplyTimeout, UnexpectedReply)
from .models import extra_words_for
from .protocol import Reply, decode_frame, frame_request, parse_reply

DOWNLOAD_COMMANDS = ("DUMPBIN", "DUMPBINX", "DUMPBINA", "DUMPBINXA")

# Far above the longest reply line (CURRENT_POSITIONS of an 18-LED model, under 400 bytes).
_MAX_LINE = 1024
# The largest download any model can send: 180 s at 10 frames per ms, 60 words a frame.
_MAX_FRAMES = 1_800_001
_MAX_WORDS = 60
# How long to wait for more of a free-text reply after a CR LF at which its sum does not hold.
_REST_OF_LINE = 0.5


class Client:
    """Client(host, port) or Client((host, port)): one connection to an instrument.

    timeout bounds each request's reply (and, in a download, each pause between
    bytes); every method raises a ProtocolError subclass when the instrument's
    answer is not the one the protocol gives."""

    def __init__(self, host="127.0.0.1", port=3000, timeout=10.0, connect_timeout=5.0):
        if isinstance(host, tuple):
            host, port = host
        self.address = (host, int(port))
        self.timeout = timeout
        self._buffer = bytearray()
        self._sock = socket.create_connection(self.address, timeout=connect_timeout)
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    # ---- bytes and lines ----

    def send(self, data):
        """Sends bytes as they are (no framing)."""
        if self._sock is None:
            raise ConnectionClosed("the client is closed")
        try:
            self._sock.sendall(data)
        except OSError as e:
            raise ConnectionClosed(f"the connection ended: {e.strerror or e}") from None

    def send_line(self, text):
        """Frames text (up to its last '#') with its checksum and sends it."""
        self.send(frame_request(text))

    def _fill(self, deadline):
        """Waits for more bytes until deadline; ReplyTimeout or ConnectionClosed otherwise."""
        if self._sock is None:
            raise ConnectionClosed("the client is closed")
        left = deadline - time.monotonic()
        if left <= 0:
            raise ReplyTimeout(f"no complete answer in time (have {bytes(self._buffer[:80])!r})", bytes(self._buffer))
        self._sock.settimeout(left)
        try:
            chunk = self._sock.recv(65536)
        except socket.timeout:
            raise ReplyTimeout(f"no complete answer in time (have {bytes(self._buffer[:80])!r})",
                               bytes(self._buffer)) from None
        except ConnectionError as e:
            raise ConnectionClosed(f"the connection ended: {e.strerror or e}", bytes(self._buffer)) from None
        if not chunk:
            raise ConnectionClosed(f"the instrument closed the connection (have {bytes(self._buffer[:80])!r})",
                                   bytes(self._buffer))
        self._buffer += chunk

    def read_line(self, timeout=None, more=None):
        """The next line as received, with its line end. A line ends in CR LF, or
        is the prompt "COMMENT?" LF; a bare LF inside a reply (a comment's own
        line end) does not end it. more(line) may ask to read on past a CR LF."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        start = 0
        candidate = None  # a CR LF that more() read past: the line if nothing else comes
        while True:
            end = self._buffer.find(b"\n", start)
            if end >= 0:
                line = bytes(self._buffer[:end + 1])
                if line.endswith(b"\r\n") or line == b"COMMENT?\n":
                    if more is None or not more(line):
                        del self._buffer[:end + 1]
                        return line
                    if candidate is None:
                        candidate = end + 1
                        # the rest of a reply comes in the same write: wait briefly for it
                        deadline = min(deadline, time.monotonic() + _REST_OF_LINE)
                start = end + 1
                continue
            if len(self._buffer) > _MAX_LINE:
                raise ProtocolError(f"a line longer than {_MAX_LINE} bytes: {bytes(self._buffer[:80])!r}...",
                                    bytes(self._buffer))
            try:
                self._fill(deadline)
            except ReplyTimeout:
                if candidate is None:
                    raise
                line = bytes(self._buffer[:candidate])
                del self._buffer[:candidate]
                return line

    def read_reply(self, timeout=None, free_text=False):
        """The next reply, verified. "?2" raises CommandRefused, "?1 - should be N"
        ChecksumRejected, a sum that does not hold ChecksumError."""
        def unfinished(line):
            if line.startswith(b"?"):
                return False
            try:
                parse_reply(line, free_text=True)
                return False
            except ChecksumError:
                return len(line) < _MAX_LINE
        line = self.read_line(timeout, more=unfinished if free_text else None)
        if line == b"?2\r\n":
            raise CommandRefused("the instrument answered ?2", line)
        if line.startswith(b"?1 - should be "):
            digits = line[len(b"?1 - should be "):].strip()
            raise ChecksumRejected(f"the instrument answered {line.decode('latin-1').strip()!r}", line,
                                   int(digits) if digits.isdigit() else None)
        if line == b"COMMENT?\n":
            return Reply("COMMENT?", [], line)
        return parse_reply(line, free_text=free_text)

    # ---- requests ----

    def request(self, text, timeout=None):
        """Frames text (up to its last '#'), sends it and returns the verified Reply."""
        data = frame_request(text)
        name = data.split(b"#", 1)[0].decode("latin-1")
        self.send(data)
        reply = self.read_reply(timeout, free_text="GETTESTCOMMENT" in name)
        if not reply.word or reply.word not in name:
            raise UnexpectedReply(f"{name} was answered {str(reply)!r}", reply.raw)
        return reply

    def status(self):
        """S: 0 erased, 1 armed, 2 busy (erasing, or triggered and recording), 3 holds a recording."""
        return int(self.request("S#").fields[0])

    def trigger(self):
        """T, the client's trigger while ARM waits."""
        return self.request("T#")

    def disarm(self):
        """D: ends ARM's wait; the memory stays erased."""
        return self.request("D#")

    def comment(self):
        """GETTESTCOMMENT's comment, exactly as stored (line end and '#' included)."""
        reply = self.request("GETTESTCOMMENT#")
        return reply.fields[0] if reply.fields else ""

    def set_comment(self, text, timeout=None):
        """SETTESTCOMMENT: waits for the prompt, sends text in one write, returns the reply."""
        self.send_line("SETTESTCOMMENT#")
        prompt = self.read_line(timeout)
        if prompt != b"COMMENT?\n":
            raise UnexpectedReply(f"SETTESTCOMMENT was answered {prompt!r}", prompt)
        self.send(text.encode("latin-1") if isinstance(text, str) else bytes(text))
        reply = self.read_reply(timeout)
        if reply.word != "SETTESTCOMMENT":
            raise UnexpectedReply(f"the comment was answered {str(reply)!r}", reply.raw)
        return reply

    def erase(self, progress=None, poll_s=0.3, timeout=60.0):
        """ERASE, returning its ERASE#0# reply. With progress, E is asked every
        poll_s and progress(count, ticks) is called with each answer."""
        deadline = time.monotonic() + timeout
        self.send_line("ERASE#")
        if progress is None:
            return self._expect("ERASE", self.read_reply(timeout))
        done, asked = None, 0
        while True:
            if done is not None and asked == 0:
                return done
            if done is None:
                self.send_line("E#")
                asked += 1
            left = max(0.0, deadline - time.monotonic())
            try:
                # after ERASE#0#, the answers to E still due come at once, unless the link lost them
                reply = self.read_reply(left if done is None else min(left, self.timeout))
            except ReplyTimeout:
                if done is None:
                    raise
                return done
            except CommandRefused:
                # An E that arrives just as the erase ends is no longer served.
                if done is None or asked == 0:
                    raise
                asked -= 1
            else:
                if reply.word == "ERASE":
                    done = reply
                elif reply.word == "E" and asked:
                    asked -= 1
                    progress(int(reply.fields[0]), int(reply.fields[1]))
                else:
                    raise UnexpectedReply(f"during ERASE: {str(reply)!r}", reply.raw)
            if done is not None:
                continue
            # Between two questions the erase may end: its reply is taken here.
            try:
                reply = self.read_reply(min(poll_s, max(0.0, deadline - time.monotonic())))
            except ReplyTimeout:
                if time.monotonic() >= deadline:
                    raise
                continue
            done = self._expect("ERASE", reply)

    def arm(self, arm_limit_ms, post_trigger_ms):
        """ARM#a#b#: returns the reply once armed; NotErased or BadArgument when refused."""
        reply = self.request(f"ARM#{int(arm_limit_ms)}#{int(post_trigger_ms)}#")
        if reply.fields == ["ERROR-NOT_ERASED"]:
            raise NotErased("the memory holds a recording: ERASE first", reply.raw)
        if "BAD" in reply.fields:
            raise BadArgument(f"ARM refused: {reply}", reply.raw, reply)
        return reply

    def window(self):
        """DUMPINFO: the recorded window (start, end) in ms from the trigger."""
        reply = self.request("DUMPINFO#")
        return int(reply.fields[0]), int(reply.fields[1])

    def download(self, start, end, variant="DUMPBINA", check=True, timeout=None):
        """The frames of a download of start..end ms (any of the four commands).
        A frame whose checksum does not hold raises ChecksumError (after the
        whole download has been read) unless check is False."""
        return list(self.iter_download(start, end, variant, check, timeout))

    def iter_download(self, start, end, variant="DUMPBINA", check=True, timeout=None):
        """download(), one Frame at a time as they arrive."""
        variant = variant.upper()
        if variant not in DOWNLOAD_COMMANDS:
            raise ValueError(f"variant must be one of {', '.join(DOWNLOAD_COMMANDS)}, not {variant!r}")
        header = self.request(f"{variant}#{int(start)}#{int(end)}#", timeout)
        if "BAD" in header.fields:
            raise BadArgument(f"{variant} refused: {header}", header.raw, header)
        if header.word != variant or len(header.fields) != 2 or not all(f.isdigit() for f in header.fields):
            raise UnexpectedReply(f"{variant} was answered {str(header)!r}", header.raw)
        words, frames = int(header.fields[0]), int(header.fields[1])
        if not 0 < words <= _MAX_WORDS or not 0 < frames <= _MAX_FRAMES:
            raise ProtocolError(f"a download header no model sends: {header}", header.raw)
        try:
            extra = extra_words_for(words) if variant.endswith("A") else 0
        except ValueError as e:
            raise ProtocolError(f"{header}: {e}", header.raw) from None
        size = 2 * words + 1
        bad = None
        for index in range(frames):
            deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
            while len(self._buffer) < size:
                self._fill(deadline)
                deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
            data = bytes(self._buffer[:size])
            del self._buffer[:size]
            frame = decode_frame(data, index, int(start), extra)
            if not frame.checksum_ok and bad is None:
                bad = frame
            if not (check and bad is not None):
                yield frame
        if check and bad is not None:
            raise ChecksumError(f"frame {bad.index} ({bad.time_ms} ms) of {variant}#{start}#{end}#: "
                                f"checksum does not hold", b"")

    def _expect(self, word, reply):
        if reply.word != word:
            raise UnexpectedReply(f"wanted {word}, got {str(reply)!r}", reply.raw)
        return reply

