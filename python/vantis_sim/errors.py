"""The exceptions of the package: one base class, and one class per way the
instrument, its link or the simulator's process can fail."""


class VantisError(Exception):
    """Anything this package reports; the simulator's own message when it has one."""


class SimulatorError(VantisError):
    """The simulator's process: it did not start, or it ended with a status other than 0."""

    def __init__(self, message, status=None, stderr=""):
        super().__init__(message)
        self.status = status
        self.stderr = stderr


class ControlError(VantisError):
    """The control channel answered "error MESSAGE"; str() is the MESSAGE."""


class WaitTimeout(ControlError, TimeoutError):
    """A wait that did not come true in its time."""


class ProtocolError(VantisError):
    """The instrument's answer is not what the protocol allows, or it refused the request."""

    def __init__(self, message, raw=b""):
        super().__init__(message)
        self.raw = raw


class ChecksumError(ProtocolError):
    """A reply line or a download frame whose checksum does not hold."""


class ChecksumRejected(ProtocolError):
    """The instrument answered "?1 - should be N": it computed another sum for our line."""

    def __init__(self, message, raw=b"", expected=None):
        super().__init__(message, raw)
        self.expected = expected


class CommandRefused(ProtocolError):
    """The instrument answered "?2": unknown command, or not served now (during a wait,
    on this model)."""


class BadArgument(ProtocolError):
    """The instrument answered with BAD in place of an argument (ARM#BAD#200#, DUMPBIN#0#BAD#)."""

    def __init__(self, message, raw=b"", reply=None):
        super().__init__(message, raw)
        self.reply = reply


class NotErased(ProtocolError):
    """ARM answered ARM#ERROR-NOT_ERASED#: the memory holds a recording; ERASE first."""


class UnexpectedReply(ProtocolError):
    """A well-formed reply that does not answer the request sent (a stray or late line)."""


class ReplyTimeout(ProtocolError, TimeoutError):
    """Nothing, or not all of a reply, arrived in time."""


class ConnectionClosed(ProtocolError, ConnectionError):
    """The instrument closed the connection (or reset it) before the reply was complete."""
