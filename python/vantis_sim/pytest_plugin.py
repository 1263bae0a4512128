"""The pytest plugin: fixtures vantis_sim and vantis_lab, option --vantis-exe.

Every simulator gets a free loopback port, a name unique to its process (and
xdist worker) and a control socket in a private folder, so tests may run in
parallel under pytest -n."""

import pytest

from .simulator import Simulator


def pytest_addoption(parser):
    group = parser.getgroup("vantis-sim")
    group.addoption("--vantis-exe", action="store", default=None, metavar="PATH",
                    help="the vantis-sim program the fixtures start (default: VANTIS_SIM, then the installed one)")


@pytest.fixture
def vantis_lab(request):
    """A factory: vantis_lab(model=..., **options) starts and returns another
    Simulator; all of them are closed, and their exit status checked, when the
    test ends."""
    exe = request.config.getoption("vantis_exe")
    started = []

    def make(model=None, **options):
        options.setdefault("exe", exe)
        sim = Simulator(model=model, **options)
        sim.start()
        started.append(sim)
        return sim

    yield make
    failures = []
    for sim in reversed(started):
        try:
            sim.stop()
        except Exception as e:  # every simulator is stopped before any failure is reported
            failures.append(e)
    if failures:
        raise failures[0]


@pytest.fixture
def vantis_sim(vantis_lab):
    """A fresh simulator for this test, started headless with no model chosen;
    closed (and its exit status checked) when the test ends."""
    return vantis_lab()
