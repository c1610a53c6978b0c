"""Runs one of the package's test files for ctest.

    run.py test_NAME.py [pytest arguments]     (one file of this folder)

Exits 77 (ctest's "skipped") with a message when Debian's python3-pytest, or
for the python-can tests python3-can, is not installed for this interpreter.
"""

import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    name = sys.argv[1]
    try:
        import pytest
    except ImportError:
        print("SKIPPED: pytest is missing for %s (Debian: apt-get install python3-pytest)" % sys.executable)
        return 77
    if name in ("test_can.py", "test_can_own_bus.py", "test_busy_bus.py", "test_busy_bus_stream.py", "test_live_client.py"):
        # Looked for, not imported: python-can reads its entry points on
        # import, and conftest first makes the package's visible.
        if importlib.util.find_spec("can") is None:
            print("SKIPPED: python-can is missing for %s (Debian: apt-get install python3-can)" % sys.executable)
            return 77
    # No cache folder in the source tree.
    return pytest.main(["-q", "-p", "no:cacheprovider", os.path.join(HERE, name)] + sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
