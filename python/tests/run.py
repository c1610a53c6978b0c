"""Runs test files of this folder for ctest.

    run.py test_NAME.py [test_OTHER.py ...] [pytest arguments]

Exits 77 (ctest's "skipped") with a message when Debian's python3-pytest, or
for the python-can tests python3-can, is not installed for this interpreter.
"""

import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    names = [a for a in sys.argv[1:] if a.startswith("test_") and a.endswith(".py")]
    try:
        import pytest
    except ImportError:
        print("SKIPPED: pytest is missing for %s (Debian: apt-get install python3-pytest)" % sys.executable)
        return 77
    # python-can looked for, not imported: it reads its entry points on
    # import, and conftest first makes the package's visible. With other
    # files, only the python-can ones are skipped (importorskip).
    if all(n.startswith(("test_can", "test_busy_bus")) for n in names) and importlib.util.find_spec("can") is None:
        print("SKIPPED: python-can is missing for %s (Debian: apt-get install python3-can)" % sys.executable)
        return 77
    # No cache folder in the source tree.
    return pytest.main(["-q", "-p", "no:cacheprovider"] + [os.path.join(HERE, n) for n in names] +
                       [a for a in sys.argv[1:] if a not in names])


if __name__ == "__main__":
    sys.exit(main())
