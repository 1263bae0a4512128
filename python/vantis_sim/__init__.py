"""Drive Vantis simulators from Python and pytest.

    from vantis_sim import Simulator

    with Simulator(model="h3-50") as sim, sim.client() as c:
        c.erase()
        ...

The pytest plugin (registered on installation) adds the fixtures vantis_sim
(a fresh simulator per test) and vantis_lab (a factory of several) and the
option --vantis-exe.
"""

from .client import DOWNLOAD_COMMANDS, Client
from .errors import (BadArgument, ChecksumError, ChecksumRejected, CommandRefused, ConnectionClosed, ControlError,
                     NotErased, ProtocolError, ReplyTimeout, SimulatorError, UnexpectedReply, VantisError,
                     WaitTimeout)
from .models import MODELS, Model, find_model
from .protocol import Frame, Reply, checksum, frame_request, parse_reply
from .simulator import Event, EventStream, Sample, Simulator, find_program

__version__ = "0.1.0"

__all__ = [
    "BadArgument", "ChecksumError", "ChecksumRejected", "Client", "CommandRefused", "ConnectionClosed",
    "ControlError", "DOWNLOAD_COMMANDS", "Event", "EventStream", "Frame", "MODELS", "Model", "NotErased",
    "ProtocolError", "Reply", "ReplyTimeout", "Sample", "Simulator", "SimulatorError", "UnexpectedReply",
    "VantisError", "WaitTimeout", "checksum", "find_model", "find_program", "frame_request", "parse_reply",
]
