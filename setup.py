"""Builds the Python package kelhash: the ctypes module of bindings/python
with the native library, built here with CMake, inside the package, where
the module looks for it first.

The library is configured in a temporary directory as a Release build of the
library alone (no tests, no command, no install rules) with the CMake on
PATH, Ninja when there is one, and the compilers named by CC and CXX when
set. The version is the one of project() in CMakeLists.txt.

The wheel holds a native library but no extension module, so its tag is
py3-none-<platform>: any Python 3 of that platform can load it through ctypes.
"""

import base64
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

from setuptools import Command, setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "kelhash"


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"^\s*project\s*\(\s*kelhash\s+VERSION\s+([0-9]+(?:\.[0-9]+)*)",
                      f.read(), re.M | re.I)
    if not m:
        raise RuntimeError("CMakeLists.txt has no project(kelhash VERSION ...)")
    return m.group(1)


VERSION = project_version()


def library_name():
    """The file name the library gets inside the package: its run-time name
    (the SONAME on Linux), one real file, since a wheel holds no links."""
    major = VERSION.split(".")[0]
    if sys.platform == "win32" or sys.platform == "cygwin":
        return "kelhash.dll"
    if sys.platform == "darwin":
        return "libkelhash.%s.dylib" % major
    return "libkelhash.so.%s" % major


def build_library(dest_dir):
    """Configures and builds the shared library in a scratch directory and
    copies it into dest_dir; returns the copy's path."""
    cmake = shutil.which("cmake")
    if not cmake:
        raise RuntimeError("building kelhash needs CMake (https://cmake.org, or pip install cmake)")
    name = library_name()
    with tempfile.TemporaryDirectory(prefix="kelhash-cmake-") as tmp:
        build = os.path.join(tmp, "build")
        out = os.path.join(tmp, "out")
        configure = [
            cmake, "-S", ROOT, "-B", build,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_SHARED_LIBS=ON",
            "-DKELHASH_BUILD_TESTS=OFF",
            "-DKELHASH_BUILD_TOOLS=OFF",
            "-DKELHASH_INSTALL=OFF",
            # One known place for the library, whatever the generator.
            "-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=" + out,
            "-DCMAKE_RUNTIME_OUTPUT_DIRECTORY=" + out,
        ]
        if "CMAKE_GENERATOR" not in os.environ and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        command = [cmake, "--build", build, "--config", "Release", "--target", "kelhash"]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            command += ["--parallel", str(os.cpu_count() or 1)]
        subprocess.run(command, check=True)
        # Multi-configuration generators add the configuration's directory.
        for where in (out, os.path.join(out, "Release")):
            built = os.path.join(where, name)
            if os.path.exists(built):
                break
        else:
            raise RuntimeError("the CMake build made no %s in %s" % (name, out))
        os.makedirs(dest_dir, exist_ok=True)
        target = os.path.join(dest_dir, name)
        shutil.copyfile(built, target)  # follows the SONAME link to the real file
        os.chmod(target, 0o755)
    return target


class BuildPy(build_py):
    """Copies the module, then builds the library into the package beside it
    (into the source package for an editable install)."""

    def run(self):
        super().run()
        if getattr(self, "editable_mode", False):
            dest = os.path.join(ROOT, "bindings", "python", PACKAGE)
        else:
            dest = os.path.join(self.build_lib, PACKAGE)
        self._library = build_library(dest)

    def get_outputs(self, include_bytecode=1):
        outputs = super().get_outputs(include_bytecode)
        if not getattr(self, "editable_mode", False):
            outputs.append(os.path.join(self.build_lib, PACKAGE, library_name()))
        return outputs


class BinaryDistribution(Distribution):
    """The package holds a library for one platform: it installs into the
    platform's site-packages (platlib) and its wheel is not pure."""

    def has_ext_modules(self):
        return True


def platform_tag():
    """The platform part of the wheel's tag, as bdist_wheel computes it."""
    plat = sysconfig.get_platform()
    if plat == "linux-x86_64" and sys.maxsize == 2 ** 31 - 1:
        plat = "linux-i686"  # a 32-bit interpreter on a 64-bit kernel
    return re.sub(r"[-.]", "_", plat)


try:  # setuptools 70.1 and newer
    from setuptools.command.bdist_wheel import bdist_wheel as _bdist_wheel
except ImportError:
    try:
        from wheel.bdist_wheel import bdist_wheel as _bdist_wheel
    except ImportError:
        _bdist_wheel = None

if _bdist_wheel is not None:
    class BdistWheel(_bdist_wheel):
        """bdist_wheel with the tag py3-none-<platform>: for one platform
        (the library), but for any Python 3 of it (no extension module, so
        no ABI of the interpreter's)."""

        def get_tag(self):
            return "py3", "none", super().get_tag()[2]
else:
    class BdistWheel(Command):
        """A setuptools older than 70.1 takes bdist_wheel from the wheel
        package, which a fresh virtual environment lacks. So that
        ``pip install --no-build-isolation .`` works there too, this packs
        the built package and its metadata into a wheel itself (the package
        has no dependencies, scripts or data files to convert)."""

        description = "build a wheel of the package (without the wheel package)"
        user_options = [("dist-dir=", "d", "directory to put the wheel in")]

        def initialize_options(self):
            self.dist_dir = None

        def finalize_options(self):
            if self.dist_dir is None:
                self.dist_dir = "dist"

        def egg2dist(self, egg_info_dir, dist_info_dir):
            """Writes the .dist-info metadata from the .egg-info one (called
            by setuptools' dist_info command too)."""
            os.makedirs(dist_info_dir, exist_ok=True)
            shutil.copyfile(os.path.join(egg_info_dir, "PKG-INFO"),
                            os.path.join(dist_info_dir, "METADATA"))
            top_level = os.path.join(egg_info_dir, "top_level.txt")
            if os.path.exists(top_level):
                shutil.copyfile(top_level, os.path.join(dist_info_dir, "top_level.txt"))

        def run(self):
            self.run_command("build")
            build_lib = self.get_finalized_command("build").build_lib
            egg_info = self.get_finalized_command("egg_info")
            self.run_command("egg_info")
            dist = re.sub(r"[^\w\d.]+", "_", self.distribution.get_name())
            version = re.sub(r"[^\w\d.]+", "_", self.distribution.get_version())
            tag = "py3-none-" + platform_tag()
            dist_info = "%s-%s.dist-info" % (dist, version)
            with tempfile.TemporaryDirectory(prefix="kelhash-wheel-") as tmp:
                info_dir = os.path.join(tmp, dist_info)
                self.egg2dist(egg_info.egg_info, info_dir)
                with open(os.path.join(info_dir, "WHEEL"), "w", encoding="utf-8") as f:
                    f.write("Wheel-Version: 1.0\nGenerator: kelhash setup.py\n"
                            "Root-Is-Purelib: false\nTag: %s\n" % tag)
                files = []
                for base in (build_lib, tmp):
                    for parent, dirs, names in os.walk(base):
                        dirs.sort()
                        for n in sorted(names):
                            path = os.path.join(parent, n)
                            files.append((os.path.relpath(path, base).replace(os.sep, "/"), path))
                os.makedirs(self.dist_dir, exist_ok=True)
                wheel = os.path.join(self.dist_dir, "%s-%s-%s.whl" % (dist, version, tag))
                record = []
                with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as zf:
                    for arcname, path in files:
                        with open(path, "rb") as f:
                            data = f.read()
                        info = zipfile.ZipInfo(arcname, date_time=(1980, 1, 1, 0, 0, 0))
                        info.external_attr = (stat.S_IMODE(os.stat(path).st_mode) | stat.S_IFREG) << 16
                        info.compress_type = zipfile.ZIP_DEFLATED
                        zf.writestr(info, data)
                        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest())
                        record.append("%s,sha256=%s,%d" % (arcname, digest.rstrip(b"=").decode(),
                                                           len(data)))
                    record.append(dist_info + "/RECORD,,")
                    info = zipfile.ZipInfo(dist_info + "/RECORD", date_time=(1980, 1, 1, 0, 0, 0))
                    info.external_attr = (0o644 | stat.S_IFREG) << 16
                    info.compress_type = zipfile.ZIP_DEFLATED
                    zf.writestr(info, "\n".join(record) + "\n")
            self.announce("built " + wheel, 2)


setup(
    version=VERSION,
    package_dir={"": "bindings/python"},
    packages=[PACKAGE],
    # The library comes from the build above, never from the source tree.
    include_package_data=False,
    distclass=BinaryDistribution,
    cmdclass={"build_py": BuildPy, "bdist_wheel": BdistWheel},
)
