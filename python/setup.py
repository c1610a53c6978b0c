"""pip install ./python from a checkout that CMake has not configured yet:
pdu7318/_version.py is written here from the same template and the same
project() line of the top CMakeLists.txt that CMake's configure step uses,
so the version is still typed in one place only."""
import os
import re

from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
VERSION_PY = os.path.join(HERE, "pdu7318", "_version.py")
TOP = os.path.join(HERE, "..", "CMakeLists.txt")

if not os.path.exists(VERSION_PY) and os.path.exists(TOP):
    with open(TOP, encoding="utf-8") as f:
        version = re.search(r"^project\(\S+ VERSION ([0-9.]+)", f.read(), re.M).group(1)
    with open(VERSION_PY + ".in", encoding="utf-8") as f:
        text = f.read().replace("@PROJECT_VERSION@", version)
    with open(VERSION_PY, "w", encoding="utf-8") as f:
        f.write(text)

setup()
