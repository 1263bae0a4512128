"""A headless simulator started for a test: its process, its control channel
(the local socket of docs/control.md, spoken directly; the event stream and the
printed forms through vantis-ctl) and clients of its instrument."""

import csv
import io
import itertools
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import weakref
from dataclasses import dataclass, field

from .client import Client
from .errors import ControlError, SimulatorError, VantisError, WaitTimeout
from .models import find_model

_counter = itertools.count(1)
_counter_lock = threading.Lock()

# The start-up of a busy machine: a few seconds are normal, tens are not.
START_TIMEOUT = 30.0
# How long a close may take before the process is told with SIGTERM, then killed.
CLOSE_ANSWER = 0.5
END_TIMEOUT = 15.0


def find_program(exe=None):
    """The simulator to start: exe, else VANTIS_SIM, else vantis-sim on PATH, else /usr/bin's."""
    for candidate in (exe, os.environ.get("VANTIS_SIM"), shutil.which("vantis-sim"), "/usr/bin/vantis-sim"):
        if candidate:
            path = os.fspath(candidate)
            if os.sep not in path:
                path = shutil.which(path) or path
            if not (os.path.isfile(path) and os.access(path, os.X_OK)):
                raise SimulatorError(f"no simulator program at {path}")
            return os.path.abspath(path)
    raise SimulatorError("no simulator program: install vantis-sim, set VANTIS_SIM or pass exe")


def find_ctl(simulator_program):
    """vantis-ctl: VANTIS_CTL, else beside the simulator, else on PATH."""
    for candidate in (os.environ.get("VANTIS_CTL"),
                      os.path.join(os.path.dirname(simulator_program), "vantis-ctl"),
                      shutil.which("vantis-ctl")):
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    raise SimulatorError("no vantis-ctl beside the simulator or on PATH (set VANTIS_CTL)")


def _unique_name():
    worker = os.environ.get("PYTEST_XDIST_WORKER", "")
    with _counter_lock:
        n = next(_counter)
    return "-".join(p for p in ("py", worker, str(os.getpid()), str(n)) if p)


def _free_port(host):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def _split_listen(listen):
    """(host, port) of "HOST:PORT", "[V6]:PORT", or a bare host (port None: a free one)."""
    text = str(listen)
    if text.startswith("["):
        host, _, port = text[1:].partition("]")
        port = port.removeprefix(":")
    elif text.count(":") == 1:
        host, _, port = text.partition(":")
    else:
        host, port = text, ""
    if not host or (port and not port.isdigit()):
        raise ValueError(f"listen is HOST:PORT or HOST, not {listen!r}")
    return host, int(port) if port else None


def _close_left_over(process, folder):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=END_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    shutil.rmtree(folder, ignore_errors=True)


def _message(stderr):
    """The line of stderr that says what went wrong: the program's last own line
    ("vantis-sim: ..."), not the usage hint after it."""
    lines = [line for line in stderr.strip().splitlines() if line.strip()]
    own = [line for line in lines if line.startswith("vantis-sim: ")]
    return (own or lines or ["(nothing on stderr)"])[-1]


class _Control:
    """One connection to the control socket: a line out, a line back."""

    def __init__(self, path):
        self.path = path
        self._sock = None
        self._buffer = b""

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        self._buffer = b""

    def request(self, line, timeout):
        if "\n" in line or "\r" in line:
            raise ValueError(f"a control request is one line: {line!r}")
        deadline = time.monotonic() + timeout
        try:
            if self._sock is None:
                self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self._sock.settimeout(max(0.1, deadline - time.monotonic()))
                self._sock.connect(self.path)
            self._sock.settimeout(max(0.1, deadline - time.monotonic()))
            self._sock.sendall(line.encode("latin-1") + b"\n")
            while b"\n" not in self._buffer:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise socket.timeout()
                self._sock.settimeout(left)
                chunk = self._sock.recv(65536)
                if not chunk:
                    raise ConnectionError("the simulator closed the control channel")
                self._buffer += chunk
        except socket.timeout:
            # A reply that comes later would answer the next request: start afresh.
            self.close()
            raise ControlError(f"no answer to {line!r} within {timeout:g} s") from None
        except OSError as e:
            self.close()
            raise ControlError(f"control channel {self.path}: {e.strerror or e}") from None
        reply, _, self._buffer = self._buffer.partition(b"\n")
        return reply.decode("latin-1").rstrip("\r")


@dataclass
class Event:
    """One event of the stream: its time in ms on the simulator's clock, its name
    and its words (by the keys of the JSON form)."""
    t_ms: float
    event: str
    words: dict = field(default_factory=dict)

    def __getattr__(self, key):
        try:
            return self.__dict__["words"][key]
        except KeyError:
            raise AttributeError(key) from None


class EventStream:
    """The simulator's events as they happen, from `vantis-ctl events --json`;
    an iterator of Event, and a context manager that stops the stream."""

    _END = object()

    def __init__(self, command, env):
        self._process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True, encoding="latin-1")
        self._events = queue.Queue()
        self._ended = False
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        try:
            for line in self._process.stdout:
                if line.strip():
                    data = json.loads(line)
                    self._events.put(Event(float(data.pop("t_ms")), data.pop("event"), data))
        except (ValueError, KeyError, OSError) as e:
            self._events.put(ControlError(f"the event stream printed what it should not: {e}"))
        self._events.put(self._END)

    def poll(self, timeout):
        """The next Event, or None when none came within timeout seconds (or the stream ended)."""
        if self._ended:
            return None
        try:
            item = self._events.get(timeout=timeout)
        except queue.Empty:
            return None
        return self._take(item)

    def __iter__(self):
        return self

    def __next__(self):
        if self._ended:
            raise StopIteration
        event = self._take(self._events.get())
        if event is None:
            raise StopIteration
        return event

    def _take(self, item):
        if isinstance(item, Exception):
            raise item
        if item is self._END:
            self._ended = True
            self._finish()
            return None
        return item

    def _finish(self):
        try:
            status = self._process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.close()
            return
        err = self._process.stderr.read().strip()
        if status != 0:
            raise ControlError(err.removeprefix("vantis-ctl: ") or f"events ended with status {status}")

    def close(self):
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._reader.join(5)
        for f in (self._process.stdout, self._process.stderr):
            f.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


@dataclass
class Sample:
    """One row of the expected data: a frame's time in ms and its coordinate words."""
    index: int
    time_ms: float
    words: list


class Simulator:
    """A headless vantis-sim on a loopback address of its own, under a unique
    name, with a private control socket; a context manager that starts it and,
    on exit, closes it and raises SimulatorError unless it ended with status 0.

    listen is "HOST:PORT", or a HOST to listen on a free port of (default
    127.0.0.1); model (a number, the ring's text or a short name) and data (a
    CSV recording) are as vantis-sim's --model and --data; time_scale is set
    once it is ready."""

    def __init__(self, model=None, name=None, listen=None, data=None, time_scale=None, exe=None,
                 start_timeout=START_TIMEOUT):
        self.program = find_program(exe)
        self.name = name or _unique_name()
        self._listen = listen
        self._model = model
        if model is not None:
            self._model_arg(model)  # an unknown name fails here, not in the process
        self._data = data
        self._time_scale = time_scale
        self._start_timeout = start_timeout
        self.address = None
        self.pid = None
        self.returncode = None
        self.stderr = ""
        self._process = None
        self._dir = None
        self._control = None
        self._clients = []

    # ---- life ----

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, exc_type, exc, tb):
        try:
            self.stop()
        except SimulatorError as e:
            if exc is None:
                raise
            exc.add_note(f"and then: {e}")

    def start(self):
        if self._process is not None:
            raise SimulatorError("already started")
        self._dir = tempfile.mkdtemp(prefix="vantis-py-")
        try:
            # A port the kernel just handed out may be taken again before the
            # simulator binds it: try another then.
            for attempt in range(3):
                host, port = _split_listen(self._listen) if self._listen else ("127.0.0.1", None)
                chosen = port is None
                if chosen:
                    port = _free_port(host)
                try:
                    self._launch(host, port)
                    break
                except SimulatorError as e:
                    if not chosen or attempt == 2 or "already in use" not in e.stderr:
                        raise
            if self._time_scale is not None:
                self.ctl("time-scale", self._time_scale)
        except BaseException:
            self._kill()
            self._cleanup()
            raise
        return self

    @property
    def runtime_dir(self):
        """The private XDG_RUNTIME_DIR of this simulator (give it to vantis-ctl)."""
        return os.path.join(self._dir, "run")

    @property
    def control_socket(self):
        return os.path.join(self.runtime_dir, "vantis-sim", self.name, "control")

    @property
    def env(self):
        """The environment in which `vantis-ctl --name NAME` finds this simulator."""
        env = dict(os.environ)
        env.pop("VANTIS_CONTROL_SOCKET", None)
        env["XDG_RUNTIME_DIR"] = self.runtime_dir
        return env

    def _launch(self, host, port):
        os.makedirs(self.runtime_dir, mode=0o700, exist_ok=True)
        listen = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
        command = [self.program, "--headless", "--listen", listen, "--name", self.name]
        if self._model is not None:
            command += ["--model", self._model_arg(self._model)]
        if self._data is not None:
            command += ["--data", os.path.abspath(os.fspath(self._data))]
        env = self.env
        env["QT_QPA_PLATFORM"] = "offscreen"
        # stderr to a file, never a pipe: headless popups go there as lines, and
        # a pipe nobody reads would block the simulator once full.
        self._stderr_path = os.path.join(self._dir, "stderr")
        with open(self._stderr_path, "wb") as err:
            self._process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                             stdout=subprocess.DEVNULL, stderr=err)
        self.pid = self._process.pid
        # One that is never stopped (a script that forgot to, an interpreter
        # that exits) is still closed, not left running.
        weakref.finalize(self, _close_left_over, self._process, self._dir)
        self.address = (host, port)
        self._control = _Control(self.control_socket)
        deadline = time.monotonic() + self._start_timeout
        while not os.path.exists(self.control_socket):
            if self._process.poll() is not None:
                self._failed("did not start")
            if time.monotonic() > deadline:
                self._failed(f"did not start within {self._start_timeout:g} s", alive=True)
            time.sleep(0.02)
        try:
            self._request(f"wait ready {max(1, int(deadline - time.monotonic()))}",
                          max(1.0, deadline - time.monotonic()) + 5)
        except ControlError:
            try:
                self._process.wait(timeout=2)
            except subprocess.TimeoutExpired:
                pass
            self._failed("did not become ready", alive=self._process.poll() is None)

    def _read_stderr(self):
        try:
            with open(self._stderr_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def _failed(self, what, alive=False):
        stderr = self._read_stderr()
        if alive:
            self._kill()
        status = self._process.returncode
        self._process = None
        raise SimulatorError(f"vantis-sim {what} (status {status}): {_message(stderr)}", status, stderr)

    def stop(self):
        """Closes the simulator as its close button does, waits for its end and
        raises SimulatorError unless its status is 0. Safe to call twice."""
        if self._process is None:
            return
        try:
            for c in self._clients:
                c.close()
            self._clients.clear()
            process = self._process
            if process.poll() is None:
                try:
                    self._request("close", CLOSE_ANSWER)
                except ControlError:
                    # Busy in a download (it reads no requests then), or its
                    # channel is gone: SIGTERM closes it as the close button does.
                    if process.poll() is None:
                        process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=END_TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                self.returncode = process.returncode
                self.stderr = self._read_stderr()
                raise SimulatorError(f"vantis-sim {self.name} did not end within {END_TIMEOUT:g} s of its close; "
                                     "killed", process.returncode, self.stderr)
            self.returncode = process.returncode
            self.stderr = self._read_stderr()
            if self.returncode != 0:
                how = (f"was ended by signal {-self.returncode}" if self.returncode < 0
                       else f"ended with status {self.returncode}")
                raise SimulatorError(f"vantis-sim {self.name} {how}: {_message(self.stderr)}", self.returncode,
                                     self.stderr)
        finally:
            self._process = None
            self._cleanup()

    close = stop

    def _kill(self):
        if self._process is not None and self._process.poll() is None:
            self._process.kill()
            self._process.wait()

    def _cleanup(self):
        if self._control is not None:
            self._control.close()
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    # ---- the control channel ----

    def _request(self, line, timeout):
        if self._control is None:
            raise ControlError("the simulator is not running")
        reply = self._control.request(line, timeout)
        if reply == "ok":
            return None
        if reply.startswith("ok "):
            try:
                return json.loads(reply[3:])
            except ValueError:
                return reply[3:]
        message = reply[6:] if reply.startswith("error ") else reply
        if message.startswith("timed out"):
            raise WaitTimeout(message)
        raise ControlError(message)

    def ctl(self, verb, *args, timeout=10.0):
        """One control request; the reply's data (JSON decoded), None for a plain
        ok, or ControlError with the simulator's message."""
        return self._request(" ".join(str(a) for a in (verb,) + args), timeout)

    def run_ctl(self, *args, timeout=30.0):
        """vantis-ctl --name NAME ARGS...: its standard output; ControlError with its
        one line of stderr when its status is not 0."""
        command = [find_ctl(self.program), "--name", self.name] + [str(a) for a in args]
        try:
            done = subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=timeout, text=True, encoding="latin-1")
        except subprocess.TimeoutExpired:
            raise ControlError(f"vantis-ctl {' '.join(map(str, args))}: no end within {timeout:g} s") from None
        if done.returncode != 0:
            message = done.stderr.strip().removeprefix("vantis-ctl: ")
            error = WaitTimeout if done.returncode == 4 else ControlError
            raise error(message or f"vantis-ctl ended with status {done.returncode}")
        return done.stdout

    def state(self):
        return self.ctl("state")

    @staticmethod
    def _model_arg(model):
        m = find_model(model)
        return "0" if m is None else str(m.number)

    def model(self, model):
        """Chooses in the model ring: a number, the ring's text or a short name."""
        return self.ctl("model", self._model_arg(model))

    def trigger(self, after_ms=None):
        """Presses TRIGGER now, or after_ms after the instrument is next armed."""
        if after_ms is None:
            return self.ctl("trigger")
        self.run_ctl("trigger", "--after", int(after_ms))
        return None

    def fault(self, what, *values):
        return self.ctl("fault", what, *values)

    def data_load(self, path_or_rows):
        """Loads a recording: a CSV file's path, or rows (time_ms, word, word, ...)."""
        if isinstance(path_or_rows, (str, bytes, os.PathLike)):
            path = os.path.abspath(os.fspath(path_or_rows))
        else:
            rows = [list(r) for r in path_or_rows]
            if not rows:
                raise ValueError("data_load needs at least one row")
            path = os.path.join(self._dir, f"data-{next(_counter)}.csv")
            with open(path, "w", newline="") as f:
                out = csv.writer(f)
                out.writerow(["time_ms"] + [f"w{i}" for i in range(1, len(rows[0]))])
                out.writerows(rows)
        return self.ctl("data", "load", path, timeout=60.0)

    def expected(self, start, end):
        """What a download of start..end would hold from the data in force: one
        Sample (time and coordinate words) per frame."""
        text = self.run_ctl("data", "expected", int(start), int(end), "--csv")
        rows = list(csv.reader(io.StringIO(text)))
        if not rows or not rows[0] or rows[0][0] != "time_ms":
            raise VantisError(f"data expected printed no table: {text[:200]!r}")
        return [Sample(i, float(r[0]), [int(v) for v in r[1:]]) for i, r in enumerate(rows[1:]) if r]

    def events(self, until=None, count=None, timeout=60.0):
        """The event stream from now on: an iterator of Event (close it, or use it
        in a with block, when done). until ends after the first event of that
        kind, count after that many; timeout bounds the whole stream. The
        stream starts once vantis-ctl has connected, a moment after this returns:
        sync on an event you cause (poll() takes a time-out), or use wait()."""
        command = [find_ctl(self.program), "--name", self.name, "events", "--json"]
        if until is not None:
            command += ["--until", str(until)]
        if count is not None:
            command += ["--count", str(int(count))]
        command += ["--timeout", f"{timeout:g}"]
        return EventStream(command, self.env)

    def wait(self, condition, timeout=10.0):
        """Answers once condition holds (ready, connected, disconnected, idle, armed,
        erasing, erased, triggered, recorded, downloading, downloaded); WaitTimeout
        after timeout seconds."""
        return self.ctl("wait", condition, timeout, timeout=timeout + 5)

    def client(self, timeout=10.0):
        """A Client connected to this simulator's instrument (closed with it)."""
        c = Client(self.address, timeout=timeout)
        self._clients.append(c)
        return c
