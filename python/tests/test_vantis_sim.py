"""The package against the real simulator: VANTIS_SIM names the program
(ctest points it at the build's)."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

import vantis_sim
from vantis_sim import (MODELS, BadArgument, Client, ChecksumError, ChecksumRejected, CommandRefused, NotErased,
                        Simulator, SimulatorError, UnexpectedReply)
from vantis_sim.protocol import checksum, frame_request
from vantis_sim.simulator import find_ctl, find_program


def _has_bench_verbs():
    try:
        ctl = find_ctl(find_program())
        out = subprocess.run([ctl, "--help"], capture_output=True, text=True, timeout=10).stdout
    except Exception:
        return False
    return any(line.split()[:1] == ["events"] for line in out.splitlines())


# The event stream, the new wait words, trigger --after and data expected come
# with the test-bench verbs; until vantis-ctl lists them these tests cannot run.
needs_bench_verbs = pytest.mark.skipif(not _has_bench_verbs(),
                                       reason="vantis-ctl --help lists no events verb (test-bench verbs)")

# A ramp of 100 counts per ms on every coordinate, so that every frame's words
# are exact integers: word k at t ms is 1000 * k + 100 * t (+ 20000).
RAMP = [[t] + [20000 + 1000 * k + 100 * t for k in range(24)] for t in (-2, 2)]


def ramp_words(t):
    return [round(20000 + 1000 * k + 100 * t) for k in range(24)]


def test_whole_cycle_with_recorded_data(vantis_sim):
    vantis_sim.ctl("time-scale", 20)
    vantis_sim.model("h3-50")
    assert vantis_sim.data_load(RAMP)["source"] == "recording"
    with vantis_sim.client() as c:
        with pytest.raises(NotErased):
            c.arm(0, 100)
        ticks = []
        assert str(c.erase(progress=lambda done, total: ticks.append((done, total)), poll_s=0.01)) == "ERASE#0#230"
        assert ticks and ticks == sorted(ticks) and {t for _, t in ticks} == {32}
        assert c.status() == 0
        assert str(c.arm(0, 100)) == "ARM#0#100#10"
        assert c.status() == 1
        assert str(c.trigger()) == "T#119"
        vantis_sim.wait("idle")
        start, end = c.window()
        assert end == 100 and -30000 < start <= 0
        for variant, extra in (("DUMPBINA", [500, 1000]), ("DUMPBIN", [])):
            frames = c.download(-1, 1, variant=variant)
            assert [f.time_ms for f in frames] == [round(-1 + i / 10, 1) for i in range(21)]
            assert [f.words for f in frames] == [ramp_words(f.time_ms) for f in frames]
            assert all(f.extra == extra and f.checksum_ok for f in frames)
        # the link is still in step: a plain request after the downloads
        assert c.request("WHO_ARE_YOU#").fields == ["50th Male"]
    state = vantis_sim.state()
    assert state["instrument"]["window"] == [start, end] and state["name"] == vantis_sim.name


def test_protocol_errors_raise_typed_exceptions(vantis_sim):
    vantis_sim.model("polar")
    with vantis_sim.client() as c:
        c.send(b"WHO_ARE_YOU#165\n")
        with pytest.raises(ChecksumRejected) as rejected:
            c.read_reply()
        assert rejected.value.expected == 164
        with pytest.raises(CommandRefused):
            c.request("NOTHING#")
        with pytest.raises(BadArgument):
            c.download(-600, 0)
        vantis_sim.fault("corrupt-next")
        with pytest.raises(ChecksumError):
            c.request("FIRMWARE#")
        assert c.request("FIRMWARE#").fields == ["P0000"]
        # the comment keeps its own line end and '#'; a reader that split on line ends would break here
        assert str(c.set_comment("sled 42\n")) == "SETTESTCOMMENT#OK#31"
        assert c.comment() == "sled 42\n"
        c.set_comment("a#b\r\nc")
        assert c.comment() == "a#b\r\nc"
        # a reply that answers another request is not taken for this one's
        c.send_line("FIRMWARE#")
        with pytest.raises(UnexpectedReply):
            c.request("WHO_ARE_YOU#")
        assert c.request("WHO_ARE_YOU#").fields == ["Polar"]


class FakeInstrument:
    """A listening socket that answers each request line with the next canned bytes."""

    def __init__(self, answers):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.address = self.server.getsockname()
        self.thread = threading.Thread(target=self._serve, args=(list(answers),), daemon=True)
        self.thread.start()

    def _serve(self, answers):
        conn, _ = self.server.accept()
        with conn, conn.makefile("rb") as lines:
            for answer in answers:
                if not lines.readline():
                    return
                conn.sendall(answer)

    def close(self):
        self.server.close()
        self.thread.join(5)


def polar_frame(words, corrupt=False):
    data = b"".join(w.to_bytes(2, "little") for w in words)
    return data + bytes([(sum(data) + corrupt) % 256])


def test_frames_are_decoded_and_a_bad_checksum_reported_after_the_whole_download():
    words = [[1100 + i, 1200, 2100, 2200, 3100, 3200, 4100, 4200, 5100, 5200, 6100, 6200, 500, 1000]
             for i in range(3)]
    header = frame_request("DUMPBINA#14#3#")[:-1] + b"\r\n"
    body = polar_frame(words[0]) + polar_frame(words[1], corrupt=True) + polar_frame(words[2])
    fake = FakeInstrument([header + body, b"S#0#201\r\n", header + body])
    try:
        with Client(fake.address, timeout=5) as c:
            with pytest.raises(ChecksumError) as bad:
                c.download(-1, -1)
            assert "frame 1 " in str(bad.value)
            assert c.status() == 0  # every frame was read: the next reply is S's
            frames = c.download(-1, -1, check=False)
            assert [f.checksum_ok for f in frames] == [True, False, True]
            assert [f.words for f in frames] == [w[:12] for w in words]
            assert [f.extra for f in frames] == [[500, 1000]] * 3
            assert [f.time_ms for f in frames] == [-1.0, -0.9, -0.8]
    finally:
        fake.close()


def test_two_simulators_from_the_lab_at_once(vantis_lab):
    a = vantis_lab(model="polar")
    b = vantis_lab(model="worldsid-2ndgen", time_scale=5)
    assert a.name != b.name and a.address != b.address and a.pid != b.pid
    with a.client() as ca, b.client() as cb:
        assert ca.request("WHO_ARE_YOU#").fields == ["Polar"]
        assert cb.request("WHO_ARE_YOU#").fields == ["WorldSID Male"]
    # each control channel reaches its own simulator
    assert a.state()["controls"]["model"]["text"] == "Polar" and a.state()["time_scale"] == 1
    assert b.state()["controls"]["model"]["text"] == "2ndGen WorldSID" and b.state()["time_scale"] == 5
    assert a.state()["listen"] == "%s:%d" % a.address


def test_model_table_matches_the_instrument(vantis_sim):
    with vantis_sim.client() as c:
        for m in MODELS:
            vantis_sim.model(m.short)
            assert vantis_sim.state()["controls"]["model"]["text"] == m.text
            assert int(c.request("HOW_MANY_LEDS#").fields[0]) == m.leds
            assert int(c.request("HOW_MANY_AXES#").fields[0]) == m.axes
            frame = c.download(0, 0)[0]  # its shape follows from the table
            assert len(frame.words) == m.words and frame.extra == [500 * (k + 1) for k in range(m.extra_words)]


def test_a_simulator_that_fails_to_start_raises_with_its_stderr_line():
    with pytest.raises(SimulatorError) as failed:
        Simulator(listen="192.0.2.7:4000").start()  # an address this machine does not have
    assert failed.value.status == 255
    assert "Server registration failed" in str(failed.value) and "192.0.2.7:4000" in str(failed.value)
    with pytest.raises(SimulatorError) as failed:
        with Simulator(data="/nonexistent/recording.csv"):
            pass
    assert failed.value.status == 2 and "cannot open /nonexistent/recording.csv" in str(failed.value)


def test_an_exit_status_other_than_0_raises():
    sim = Simulator()
    with pytest.raises(SimulatorError, match="signal 9"):
        with sim:
            os.kill(sim.pid, signal.SIGKILL)
    assert sim.returncode == -signal.SIGKILL
    # a failure of the test itself is not hidden by the bad status: it gains a note
    with pytest.raises(ZeroDivisionError) as info:
        with Simulator() as sim:
            os.kill(sim.pid, signal.SIGKILL)
            1 / 0
    assert "signal 9" in info.value.__notes__[0]
    # a clean close is status 0, and a second stop does nothing
    with Simulator() as sim:
        pass
    assert sim.returncode == 0
    sim.stop()


@needs_bench_verbs
def test_events_sync_points_and_expected_data(vantis_sim):
    vantis_sim.ctl("time-scale", 20)
    with vantis_sim.events(until="download-done", timeout=60) as events:
        # the stream runs once vantis-ctl has connected: choose models (an
        # unchanged choice is no event) until it reports one, then h3-50
        for i in range(50):
            vantis_sim.model("polar" if i % 2 else "ballistic")
            if events.poll(0.2) is not None:
                break
        vantis_sim.model("h3-50")
        first = events.poll(5)
        while first is not None and first.event != "model":
            first = events.poll(5)
        assert first is not None and 2 in first.words.values()
        vantis_sim.data_load(RAMP)
        c = vantis_sim.client()
        c.erase()
        vantis_sim.trigger(after_ms=300)  # set before ARM: counted from the arming itself
        c.request("ARM#0#100#")
        vantis_sim.wait("armed")
        vantis_sim.wait("recorded", timeout=30)
        start, end = c.window()
        assert end == 100 and start in (-300, -299)  # the trigger 300 ms after arming, within a sample
        frames = c.download(-1, 1)
        names = [e.event for e in events]
    expected = vantis_sim.expected(-1, 1)
    assert [s.words for s in expected] == [f.words for f in frames]
    assert [s.time_ms for s in expected] == [f.time_ms for f in frames]
    for word in ("erase-started", "erase-done", "armed", "recorded", "download-started", "download-done"):
        assert word in names
    assert names.index("armed") < names.index("recorded") < names.index("download-done")


@pytest.mark.skipif(subprocess.run([sys.executable, "-c", "import xdist"]).returncode != 0,
                    reason="pytest-xdist is not installed")
def test_parallel_workers_never_share_a_name_or_an_address(tmp_path):
    # Four tests on two workers, each with two simulators from the lab at once,
    # and one whose simulator dies: its teardown must say so.
    (tmp_path / "test_lab.py").write_text(textwrap.dedent("""
        import os
        import signal
        import pytest

        @pytest.mark.parametrize("n", range(4))
        def test_pair(vantis_lab, n):
            a, b = vantis_lab(model="polar"), vantis_lab()
            with a.client() as c:
                assert c.request("WHO_ARE_YOU#").fields == ["Polar"]
            with open(os.environ["SEEN"], "a") as f:
                for sim in (a, b):
                    f.write("%s %s:%d\\n" % ((sim.name,) + sim.address))

        def test_killed(vantis_sim):  # passes, then its teardown reports the status
            os.kill(vantis_sim.pid, signal.SIGKILL)
        """))
    # the package these tests import, whether installed or from the source tree
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(vantis_sim.__file__)))
    env = dict(os.environ, SEEN=str(tmp_path / "seen"),
               PYTHONPATH=os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "pytest")
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-n", "2", "-p", "vantis_sim.pytest_plugin",
                           "--vantis-exe", find_program(), "-p", "no:cacheprovider", "--rootdir", str(tmp_path), str(tmp_path), example],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path, env=env)
    assert done.returncode == 1 and "6 passed, 1 error" in done.stdout, done.stdout[-3000:] + done.stderr[-2000:]
    assert "ERROR at teardown of test_killed" in done.stdout and "was ended by signal 9" in done.stdout
    seen = (tmp_path / "seen").read_text().split()
    names, addresses = seen[0::2], seen[1::2]
    assert len(names) == 8 and len(set(names)) == 8 and len(set(addresses)) == 8
    assert {n.split("-")[1] for n in names} == {"gw0", "gw1"}


def test_a_comment_reply_is_read_to_its_checksum_and_no_further():
    body = b"GETTESTCOMMENT#a\r\nb\n#"
    good = body + str(checksum(body)).encode() + b"\r\n"
    fake = FakeInstrument([b"?2\r\n", good, b"GETTESTCOMMENT#a\nb#99\r\n", b"S#0#201\r\n"])
    try:
        with Client(fake.address, timeout=5) as c:
            with pytest.raises(CommandRefused):  # answered at once, not read past
                c.comment()
            assert c.comment() == "a\r\nb\n"
            with pytest.raises(ChecksumError):  # a sum that never holds: no wait for more
                c.comment()
            assert c.status() == 0
    finally:
        fake.close()
