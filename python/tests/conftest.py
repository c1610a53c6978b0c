"""Fixtures: vcisim on a pseudo-terminal and the library pointed at it.
ctest sets PDU_API_LIBRARY, PDU7318_BIN_DIR (vcisim) and PDU7318_DATA_DIR
(the application folder's files, scenarios/); the defaults fit build/."""

import atexit
import concurrent.futures
import contextlib
import os
import shutil
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))  # the package from the source tree
sys.path.insert(1, os.path.join(REPO, "tests", "tools"))
import e2e  # noqa: E402  (vcisim and its context, as the end-to-end scripts run them)
from pdu7318 import __version__  # noqa: E402

LIBRARY = os.environ.get("PDU_API_LIBRARY") or os.path.join(REPO, "build", "lib", "libpdu7318.so")
BIN_DIR = os.environ.get("PDU7318_BIN_DIR") or os.path.join(REPO, "build", "bin")
DATA_DIR = os.environ.get("PDU7318_DATA_DIR") or os.path.join(REPO, "build", "data")


@contextlib.contextmanager
def simulator(scenario, python=False, monkeypatch=None):
    """vcisim (with --trace) of scenario, a name in data/scenarios or a
    .json file, in a folder of its own; yields it and the library's
    environment variables (python: also for a Python process that finds
    the package and its python-can interface; monkeypatch: set here)."""
    ctx = e2e.Ctx(BIN_DIR, DATA_DIR)
    try:
        with e2e.Sim(ctx, scenario) as sim:
            env = {"PDU7318_HOME": ctx.home, "PDU7318_PORTS": sim.link, "PDU_API_LIBRARY": LIBRARY,
                   "PDU7318_LOG_PATH": os.path.join(ctx.tmp, "logs") + "/"}
            if python:
                env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(HERE), ENTRY_POINT_DIR])
            for k, v in env.items() if monkeypatch else ():
                monkeypatch.setenv(k, v)
            yield sim, env
    finally:
        ctx.cleanup()


def in_thread(fn, *args):
    """fn(*args) in a thread of its own from now on: its Future."""
    pool = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix=fn.__name__)
    future = pool.submit(fn, *args)
    pool.shutdown(wait=False)
    return future


until = e2e.until


RUNS = {}


def pytest_collection_finish(session):
    """Starts fn(a fresh folder) in_thread for each selected test that its
    module's BACKGROUND ({test name: fn}) names: a run in its own process
    and vcisim overlaps the session's tests, which mostly wait. The test
    takes it through the background fixture."""
    for item in [] if session.config.option.collectonly else session.items:
        fn = getattr(item.module, "BACKGROUND", {}).get(item.name)
        if fn is not None and item.name not in RUNS:
            tmp = tempfile.mkdtemp(prefix="pdu7318-run-")
            atexit.register(shutil.rmtree, tmp, True)
            RUNS[item.name] = in_thread(fn, tmp)


def pytest_sessionfinish(session):
    concurrent.futures.wait(RUNS.values())  # each stops its own vcisim


@pytest.fixture
def background(request):
    """The test's run of BACKGROUND (see pytest_collection_finish)."""
    return RUNS[request.node.name]


@pytest.fixture(scope="module")
def sim_env(request):
    """vcisim with the module's SCENARIO, and the library's environment
    variables set in this process for the module's tests; yields them."""
    with pytest.MonkeyPatch.context() as m, simulator(getattr(request.module, "SCENARIO", "demo"),
                                                      monkeypatch=m) as (_, env):
        yield env


@pytest.fixture
def fake(monkeypatch):
    """A fakepdu.FakeLibrary where the client loads fakepdu.PATH."""
    import fakepdu
    yield (lib := fakepdu.install(monkeypatch))
    if lib._engine is not None:  # a failed test left it constructed
        lib.PDUDestruct()


# A folder with the package's distribution metadata, so that python-can finds
# the pdu7318 interface through its can.interface entry point: on this
# process's path before any test module imports can (python-can reads its
# entry points on import), and on the PYTHONPATH of simulator(python=True).
ENTRY_POINT_DIR = tempfile.mkdtemp(prefix="pdu7318-dist-")
atexit.register(shutil.rmtree, ENTRY_POINT_DIR, True)
_info = os.path.join(ENTRY_POINT_DIR, "pdu7318-%s.dist-info" % __version__)
os.makedirs(_info)
with open(os.path.join(_info, "METADATA"), "w") as f:
    f.write("Metadata-Version: 2.1\nName: pdu7318\nVersion: %s\n" % __version__)
with open(os.path.join(_info, "entry_points.txt"), "w") as f:
    f.write("[can.interface]\npdu7318 = pdu7318.can:PduCanBus\n")
sys.path.insert(0, ENTRY_POINT_DIR)
