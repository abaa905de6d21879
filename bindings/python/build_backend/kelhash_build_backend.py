"""The build backend of the Python package: setuptools' own, with one change.

CMake builds the native library. A machine that has a CMake at least as new
as CMakeLists.txt asks for, and a build tool for it, builds with those; only
a machine without them gets CMake (and Ninja) from the package index as
build requirements. Every other hook is setuptools' unchanged.
"""

import os
import re
import shutil
import subprocess

from setuptools import build_meta as _setuptools
from setuptools.build_meta import *  # noqa: F401,F403 (every hook of the backend)

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def _cmake_minimum():
    with open(os.path.join(_ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"cmake_minimum_required\s*\(\s*VERSION\s+(\d+)\.(\d+)", f.read(), re.I)
    return (int(m.group(1)), int(m.group(2))) if m else (3, 0)


def _cmake_version(cmake):
    try:
        out = subprocess.run([cmake, "--version"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, universal_newlines=True,
                             check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    m = re.search(r"version\s+(\d+)\.(\d+)", out)
    return (int(m.group(1)), int(m.group(2))) if m else None


def native_build_requirements():
    """What the package index must supply for the CMake build: nothing when
    this machine has a usable CMake and a build tool."""
    needed = []
    minimum = _cmake_minimum()
    cmake = shutil.which("cmake")
    version = _cmake_version(cmake) if cmake else None
    if version is None or version < minimum:
        needed.append("cmake>=%d.%d" % minimum)
    # CMake on Windows defaults to Visual Studio; elsewhere it needs Ninja or make.
    if os.name != "nt" and not (shutil.which("ninja") or shutil.which("make")):
        needed.append("ninja")
    return needed


def get_requires_for_build_wheel(config_settings=None):
    return _setuptools.get_requires_for_build_wheel(config_settings) + native_build_requirements()


if hasattr(_setuptools, "get_requires_for_build_editable"):
    def get_requires_for_build_editable(config_settings=None):
        return (_setuptools.get_requires_for_build_editable(config_settings)
                + native_build_requirements())
