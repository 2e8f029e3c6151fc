"""Fixtures: the library under test and a terminal simulator (rv270-sim --verbose) whose
printed requests show the bytes that reached it.

QORNRV270_LIBRARY names the library and RV270_SIM_PROGRAM the simulator program; without
them both come from build/linux of the repository. RV270_SOURCE_DIR names the repository
(its header and export lists) when the tests run from a copy of python/.
"""
import os
import pathlib
import queue
import subprocess
import threading
import time

import pytest

import qornrv270

REPO = pathlib.Path(os.environ.get("RV270_SOURCE_DIR") or pathlib.Path(__file__).resolve().parents[2])
BUILD = REPO / "build" / "linux"


class Simulator:
    """A running rv270-sim: usb is its RV270_SIM address, serial its pseudo-terminal
    (None when it serves none); received() gives the request payloads it printed."""

    def __init__(self, program, *options):
        self._process = subprocess.Popen([program, "--verbose", *options], stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, text=True)
        self._lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        first = self._lines.get(timeout=10)
        if not first.startswith("RV270_SIM="):
            raise RuntimeError("rv270-sim did not start: " + first)
        self.usb = first.split("=", 1)[1]
        self.serial = None
        self._requests = []
        # Both lines come in one write; the requests follow later.
        try:
            second = self._lines.get(timeout=0.5)
            if second.startswith("SERIAL="):
                self.serial = second.split("=", 1)[1]
        except queue.Empty:
            pass

    def _read(self):
        for line in self._process.stdout:
            self._lines.put(line.rstrip("\n"))

    def mark(self):
        """A position in the stream of requests, for received()."""
        self._drain(0)
        return len(self._requests)

    def received(self, mark, count=1, timeout=3.0):
        """The (link, payload) requests after mark, once count of them arrived (the
        simulator prints them within 50 ms)."""
        deadline = time.monotonic() + timeout
        while len(self._requests) - mark < count and time.monotonic() < deadline:
            self._drain(0.05)
        return self._requests[mark:]

    def _drain(self, wait):
        while True:
            try:
                line = self._lines.get(timeout=wait)
            except queue.Empty:
                return
            wait = 0
            if line.startswith("request "):
                link, payload = line[len("request "):].split(": ", 1)
                self._requests.append((link, bytes.fromhex(payload)))

    def stop(self):
        self._process.terminate()
        self._process.wait(timeout=10)


def pytest_report_header(config):
    return "qornrv270 from %s" % os.path.dirname(qornrv270.__file__)


def _path(variable, default):
    value = os.environ.get(variable)
    path = pathlib.Path(value) if value else default
    if not path.exists():
        pytest.exit("%s not found: set %s" % (path, variable), returncode=2)
    return str(path)


@pytest.fixture(scope="session")
def repo():
    """The repository, for the tests that compare with its header and export lists."""
    if not (REPO / "include" / "QornRV270API.h").exists():
        pytest.skip("needs the repository: set RV270_SOURCE_DIR")
    return REPO


@pytest.fixture(scope="session")
def lib():
    return qornrv270.Library(_path("QORNRV270_LIBRARY", BUILD / "libQornRV270API.so.1"))


@pytest.fixture(scope="session")
def sim():
    simulator = Simulator(_path("RV270_SIM_PROGRAM", BUILD / "sim" / "rv270-sim"))
    os.environ["RV270_SIM"] = simulator.usb
    if simulator.serial:
        os.environ["RV270_COM7"] = simulator.serial
    yield simulator
    simulator.stop()


@pytest.fixture
def slow_sim(sim, monkeypatch):
    """A second simulator whose customer takes 20 s at every wait (so that only a cancel
    ends a wait early), reached over USB for the test's time."""
    simulator = Simulator(_path("RV270_SIM_PROGRAM", BUILD / "sim" / "rv270-sim"),
                          "--no-serial", "--customer-delay", "20000")
    monkeypatch.setenv("RV270_SIM", simulator.usb)
    yield simulator
    simulator.stop()


@pytest.fixture
def usb(lib, sim):
    return qornrv270.Terminal(0, 0, lib)


@pytest.fixture
def serial(lib, sim):
    if not sim.serial:
        pytest.skip("the simulator serves no serial port here")
    return qornrv270.Terminal(7, 0, lib)
