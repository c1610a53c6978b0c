"""What docs/python.md tells a reader to run: its UDS example on vcisim's
demo car and the Debian 12 install into a venv, each in a thread from the
session's start on (BACKGROUND), so that pip's seconds overlap the waits."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import HERE, REPO, simulator
import pdu7318  # noqa: E402  (from the source tree, which conftest puts on the path)

SCENARIO = "demo"


def run_docs_example(tmp):
    """The example of docs/python.md, as written, on its own vcisim."""
    with open(os.path.join(REPO, "docs", "python.md")) as f:
        code = re.search(r"```python\n(.*?)```", f.read(), re.S).group(1)
    with simulator(SCENARIO) as (_, env):
        env = dict(os.environ, **env, PYTHONPATH=os.path.dirname(HERE))
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)


PROBE = ("import pdu7318, importlib.util, importlib.metadata as m\n"
         "print(pdu7318.__file__)\nprint(importlib.util.find_spec('can') is not None)\n"
         "print([e.value for e in m.entry_points(group='can.interface') if e.name == 'pdu7318'])\n"
         "print(m.version('pdu7318'), pdu7318.__version__)\n")


def build_venv(tmp):
    """What docs/python.md gives for Debian 12: a venv that sees Debian's
    packages, the package installed offline into it from a copy of the
    source tree (the build leaves nothing in the tree), then PROBE run by the
    venv's interpreter: the venv's path and each step's CompletedProcess (up
    to the first that failed), or None and why there is no venv here."""
    # pip and setuptools are looked for, not imported into the test process.
    if any(importlib.util.find_spec(m) is None for m in ("pip", "setuptools")):
        return None, "pip or setuptools is not installed for %s" % sys.executable
    venv = os.path.join(tmp, "venv")
    # Without the venv's own copy of pip (seconds that test nothing of the
    # package): the venv sees Debian's pip, on Debian 12 the same version.
    p = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv],
                       capture_output=True, text=True, timeout=120)
    py = os.path.join(venv, "bin", "python")
    if p.returncode != 0 or not os.path.exists(py):
        return None, "no venv here (Debian: python3-venv): " + p.stderr[-300:]
    src = os.path.join(tmp, "src")
    shutil.copytree(os.path.dirname(HERE), src, ignore=shutil.ignore_patterns("tests", "__pycache__", "build"))
    steps = []
    for args in ([py, "-m", "pip", "install", "-q", "--no-index", "--no-build-isolation", src], [py, "-c", PROBE]):
        steps.append(subprocess.run(args, capture_output=True, text=True, timeout=180, cwd=tmp))
        if steps[-1].returncode != 0:
            break
    return venv, steps


BACKGROUND = {"test_docs_uds_example_runs": run_docs_example,
              "test_debian_venv_with_system_site_packages": build_venv}


def test_docs_uds_example_runs(background):
    p = background.result(60)
    assert p.returncode == 0 and "62 f1 90 57 44 45 4d 4f" in p.stdout and "WDEMO7318SIM00042" in p.stdout, p


def test_debian_venv_with_system_site_packages(background):
    """The venv of docs/python.md (see build_venv): the package imports from
    it and its metadata names the python-can interface."""
    venv, steps = background.result(300)
    if venv is None:
        pytest.skip(steps)
    assert [p.returncode for p in steps] == [0, 0], [p.stderr for p in steps]
    lines = steps[-1].stdout.splitlines()
    assert lines[0].startswith(venv) and lines[0].endswith(os.path.join("pdu7318", "__init__.py"))
    # Debian's python3-can is seen from the venv when it is installed.
    assert lines[1:3] == [str(importlib.util.find_spec("can") is not None), "['pdu7318.can:PduCanBus']"]
    # pip took the version CMake wrote for the package (the project's).
    assert lines[3] == "%s %s" % (pdu7318.__version__, pdu7318.__version__)
