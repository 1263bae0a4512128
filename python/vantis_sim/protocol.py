"""The instrument's framing: checksummed request and reply lines, and the
binary frames of a download."""

from dataclasses import dataclass, field

from .errors import ChecksumError


def checksum(data):
    """The line checksum: the byte sum of data, modulo 256."""
    return sum(data) % 256


def frame_request(text):
    """The bytes of a request line: text up to its last "#" (a sum after it is
    dropped and computed afresh), its checksum and a line feed."""
    data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    cut = data.rfind(b"#")
    if cut < 0:
        raise ValueError(f"a request holds at least one '#': {text!r}")
    body = data[:cut + 1]
    if b"\n" in body or b"\r" in body:
        raise ValueError(f"a request is one line: {text!r}")
    return body + str(checksum(body)).encode() + b"\n"


@dataclass
class Reply:
    """A verified reply line: its command word, its fields, and the bytes as received."""
    word: str
    fields: list
    raw: bytes

    def __str__(self):
        return self.raw.decode("latin-1").rstrip("\r\n")


def parse_reply(raw, free_text=False):
    """The Reply in raw (one line with its CR LF). free_text: everything between
    the word and the checksum is one field (GETTESTCOMMENT, whose comment may
    hold '#' and line ends). ChecksumError when the sum does not hold."""
    body = raw[:-2] if raw.endswith(b"\r\n") else raw.rstrip(b"\r\n")
    cut = body.rfind(b"#")
    digits = body[cut + 1:]
    if cut < 0 or not digits.isdigit() or int(digits) != checksum(body[:cut + 1]):
        raise ChecksumError(f"reply checksum does not hold: {raw!r}", raw)
    text = body[:cut].decode("latin-1")
    word, _, rest = text.partition("#")
    if free_text:
        fields = [rest] if "#" in text else []
    else:
        fields = rest.split("#") if "#" in text else []
    return Reply(word, fields, bytes(raw))


@dataclass
class Frame:
    """One download frame: index from 0, its time from the trigger in ms, the
    coordinate words, the extra words (A variants) and whether its checksum holds."""
    index: int
    time_ms: float
    words: list
    extra: list = field(default_factory=list)
    checksum_ok: bool = True


def decode_frame(data, index, start_ms, extra_words):
    """A Frame from the bytes of frame index of a download from start_ms."""
    n = (len(data) - 1) // 2
    values = [data[2 * i] | (data[2 * i + 1] << 8) for i in range(n)]
    coordinates = n - extra_words
    return Frame(index=index, time_ms=round(start_ms + index / 10, 1), words=values[:coordinates],
                 extra=values[coordinates:], checksum_ok=checksum(data[:-1]) == data[-1])
