"""A host team's first test: one whole recording cycle against a fresh simulator.

    python3 -m pytest examples/pytest          # with the vantis-sim package installed

The fixture vantis_sim starts a headless simulator on a free port and closes it
(checking its exit status) when the test ends; it runs under pytest -n too.
"""


def test_erase_arm_trigger_download(vantis_sim):
    vantis_sim.ctl("time-scale", 20)          # ERASE and ARM's times pass 20 times as fast
    vantis_sim.model("h3-50")                 # the operator picks Hybrid III 50th Male
    with vantis_sim.client() as host:         # your host software would connect here
        assert host.request("WHO_ARE_YOU#").fields == ["50th Male"]

        ticks = []
        host.erase(progress=lambda done, total: ticks.append(done), poll_s=0.05)
        assert host.status() == 0             # erased
        assert ticks == sorted(ticks)         # E's progress only rises

        host.arm(0, 100)                      # no arm limit, 100 ms after the trigger
        assert host.status() == 1             # armed, waiting for the trigger
        host.trigger()                        # T from the host
        vantis_sim.wait("idle")               # the recording is over
        start, end = host.window()
        assert end == 100 and start <= 0

        frames = host.download(-1, 1)         # DUMPBINA: checksums checked as it reads
        assert len(frames) == 21
        before, after = frames[0], frames[-1]
        assert before.words[:2] == [1100, 1200] and after.words[:2] == [2010, 2020]
        assert after.extra == [500, 1000]
