"""Fixtures: vcisim on a pseudo-terminal and the library pointed at it.

Where things are (ctest sets these; the defaults fit a build in build/):
  PDU_API_LIBRARY   the D-PDU library            build/lib/libpdu7318.so
  PDU7318_BIN_DIR   the folder holding vcisim    build/bin
  PDU7318_DATA_DIR  MDF.xml, scenarios/          data
"""

import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))  # the package from the source tree

LIBRARY = os.environ.get("PDU_API_LIBRARY") or os.path.join(REPO, "build", "lib", "libpdu7318.so")
BIN_DIR = os.environ.get("PDU7318_BIN_DIR") or os.path.join(REPO, "build", "bin")
DATA_DIR = os.environ.get("PDU7318_DATA_DIR") or os.path.join(REPO, "data")


class Sim:
    """One vcisim process with a scenario; port is the path to give PDU7318_PORTS."""

    def __init__(self, tmp, scenario, args=()):
        """scenario: a name in data/scenarios, or a path to a .json file;
        args: further vcisim options (--trace writes the frames to log_path)."""
        self.port = os.path.join(tmp, "vci")
        self.log_path = os.path.join(tmp, "vcisim.out")
        self._log = open(self.log_path, "w")
        path = scenario if scenario.endswith(".json") else os.path.join(DATA_DIR, "scenarios", scenario + ".json")
        self.proc = subprocess.Popen(
            [os.path.join(BIN_DIR, "vcisim"), "--link", self.port, "--scenario", path] + list(args),
            stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not os.path.islink(self.port):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("vcisim did not come up:\n" + open(self.log_path).read())
            time.sleep(0.01)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()


class InThread(threading.Thread):
    """fn(*args) in a thread from now on. result() waits for it and returns
    fn's value or raises its exception."""

    def __init__(self, fn, *args):
        super().__init__(name=fn.__name__, daemon=True)
        self._fn, self._args = fn, args
        self._value = self._error = None
        self.start()

    def run(self):
        try:
            self._value = self._fn(*self._args)
        except BaseException as e:  # handed to result()
            self._error = e

    def result(self, timeout=60):
        self.join(timeout)
        if self.is_alive():
            raise TimeoutError("%s did not end within %s s" % (self.name, timeout))
        if self._error is not None:
            raise self._error
        return self._value


RUNS = {}


def pytest_collection_finish(session):
    """Starts the runs that test modules name in BACKGROUND ({test name:
    fn}) for the selected tests, each fn(a fresh folder) in an InThread from
    the session's start on: a run in its own process, on its own vcisim,
    overlaps the session's tests, which mostly wait (on the settle pause,
    windows, timeouts). The test takes it through the background fixture."""
    for item in [] if session.config.option.collectonly else session.items:
        fn = getattr(item.module, "BACKGROUND", {}).get(item.name)
        if fn is not None and item.name not in RUNS:
            tmp = tempfile.mkdtemp(prefix="pdu7318-run-")
            atexit.register(shutil.rmtree, tmp, True)
            RUNS[item.name] = InThread(fn, tmp)


def pytest_sessionfinish(session):
    for run in RUNS.values():
        run.join()  # each stops its own vcisim


@pytest.fixture
def background(request):
    """The test's run of BACKGROUND (see pytest_collection_finish)."""
    return RUNS[request.node.name]


def environment(tmp, port):
    home = os.path.join(tmp, "home")
    os.makedirs(home, exist_ok=True)
    for name in ("MDF.xml", "config.ini", "PDUAPI_7318.ini"):
        shutil.copy(os.path.join(DATA_DIR, name), home)
    return {"PDU7318_HOME": home, "PDU7318_PORTS": port, "PDU7318_LOG_PATH": os.path.join(tmp, "logs") + "/",
            "PDU_API_LIBRARY": LIBRARY}


@pytest.fixture(scope="module")
def sim_env(request, tmp_path_factory):
    """Starts vcisim with the module's SCENARIO and sets the library's
    environment variables in this process for the module's tests; yields
    that environment (also for subprocesses)."""
    scenario = getattr(request.module, "SCENARIO", "demo")
    tmp = str(tmp_path_factory.mktemp(scenario))
    sim = Sim(tmp, scenario)
    env = environment(tmp, sim.port)
    with pytest.MonkeyPatch.context() as m:
        for k, v in env.items():
            m.setenv(k, v)
        yield env
    sim.stop()
    assert sim.proc.returncode == 0, open(sim.log_path).read()[-3000:]


@pytest.fixture
def fake(monkeypatch):
    """A fakepdu.FakeLibrary where the client loads fakepdu.PATH."""
    import fakepdu
    lib = fakepdu.install(monkeypatch)
    yield lib
    if lib._engine is not None:  # a failed test left it constructed
        lib.PDUDestruct()


def entry_point_dir(tmp):
    """A folder with the package's distribution metadata, so that python-can
    finds the pdu7318 interface through its can.interface entry point."""
    info = os.path.join(tmp, "pdu7318-1.0.0.dist-info")
    os.makedirs(info, exist_ok=True)
    with open(os.path.join(info, "METADATA"), "w") as f:
        f.write("Metadata-Version: 2.1\nName: pdu7318\nVersion: 1.0.0\n")
    with open(os.path.join(info, "entry_points.txt"), "w") as f:
        f.write("[can.interface]\npdu7318 = pdu7318.can:PduCanBus\n")
    return tmp


# python-can reads its entry points when it is imported: make the package's
# metadata visible before any test module imports can.
ENTRY_POINT_DIR = entry_point_dir(tempfile.mkdtemp(prefix="pdu7318-dist-"))
atexit.register(shutil.rmtree, ENTRY_POINT_DIR, True)
sys.path.insert(0, ENTRY_POINT_DIR)
