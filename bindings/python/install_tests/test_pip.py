"""Tests of the Python package as pip builds it from the source tree.

Each install goes into a fresh virtual environment, from a copy of the
source tree (what a clone holds, with the work in progress), so that nothing
is written into the tree itself; the installed module is then imported from
/ with no variables of the environment but PATH, and must use the library
inside its own package to hash the golden files (tests/golden, whose values
come from the hashes' definitions). The build backend's choice of build
requirements is checked with stand-in cmake and ninja programs.

Run with the interpreter that has venv, setuptools and wheel (and build for
the sdist test):

    python3 bindings/python/install_tests/test_pip.py -v

KELHASH_VERSION, when set, is the version of CMake's project(); it is read
from CMakeLists.txt otherwise.
"""

import json
import os
import pathlib
import re
import shutil
import stat
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parent.parent.parent
GOLDEN = SOURCE / "tests" / "golden"
CHECK = HERE / "installed_check.py"
RANGE_SERVER_DIR = SOURCE / "tests" / "http"
BACKEND_DIR = SOURCE / "bindings" / "python" / "build_backend"


def cmake_project_version():
    text = (SOURCE / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(kelhash VERSION ([0-9.]+)", text).group(1)


VERSION = os.environ.get("KELHASH_VERSION") or cmake_project_version()

# Variables that would point the build or the module elsewhere.
_SCRUBBED = ("KELHASH_LIBRARY", "PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "VIRTUAL_ENV",
             "LD_LIBRARY_PATH", "LD_PRELOAD", "PIP_REQUIRE_VIRTUALENV")


def build_env():
    env = {k: v for k, v in os.environ.items() if k not in _SCRUBBED}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def run(cmd, cwd, env=None, what=None):
    proc = subprocess.run([str(c) for c in cmd], cwd=str(cwd), env=env or build_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    if proc.returncode != 0:
        raise AssertionError("%s failed with status %d:\n%s"
                             % (what or " ".join(map(str, cmd)), proc.returncode, proc.stdout))
    return proc.stdout


def copy_source_tree(dest):
    """The files a clone of the tree holds plus the uncommitted ones (git's
    view, ignored files left out); without git, the tree without its build
    directories."""
    try:
        listing = subprocess.run(
            ["git", "-C", str(SOURCE), "ls-files", "-z", "--cached", "--others",
             "--exclude-standard"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        listing = None
    if listing is None:
        shutil.copytree(SOURCE, dest, ignore=shutil.ignore_patterns(
            ".git", "build", "build-*", "__pycache__", "*.egg-info", "dist"))
        return
    for rel in listing.decode("utf-8", "surrogateescape").split("\0"):
        src = SOURCE / rel
        if rel and src.is_file():  # a file deleted in the work tree is skipped
            (dest / rel).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, dest / rel)


def make_venv(where, system_site_packages=False):
    cmd = [sys.executable, "-m", "venv"]
    if system_site_packages:
        cmd.append("--system-site-packages")
    run(cmd + [where], cwd=where.parent)
    bindir = where / ("Scripts" if os.name == "nt" else "bin")
    return bindir / ("python.exe" if os.name == "nt" else "python")


def has_module(python, name):
    return subprocess.run([str(python), "-I", "-c", "import " + name], cwd="/",
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def installed_report(python):
    """Runs installed_check.py from / with nothing of the environment but PATH."""
    env = {"PATH": os.environ.get("PATH", os.defpath), "LC_ALL": "C.UTF-8"}
    out = run([python, "-I", CHECK, GOLDEN, RANGE_SERVER_DIR], cwd="/", env=env,
              what="the installed module")
    return json.loads(out)


def golden_rows():
    rows = []
    with open(GOLDEN / "files.tsv", encoding="utf-8") as f:
        for line in f:
            if not line.startswith("#") and line.strip():
                name, _size, osub, shooter, md5 = line.rstrip("\n").split("\t")
                rows.append((name, osub, shooter, md5))
    return rows


def golden_stable():
    values = {}
    with open(GOLDEN / "stable.tsv", encoding="utf-8") as f:
        for line in f:
            if not line.startswith("#") and line.strip("\n"):
                text, value = line.rstrip("\n").split("\t")
                values[text] = int(value)
    return values


class InstalledPackageChecks:
    """What every installed kelhash must show; setUpClass of each case
    installs it and leaves the report of installed_check.py in cls.report."""

    report = None
    scratch_prefix = "kelhash-pip-"

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix=cls.scratch_prefix)
        try:
            cls.install(pathlib.Path(cls._tmp.name))
        except BaseException:
            cls._tmp.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_module_and_library_come_from_the_installed_package(self):
        r = self.report
        module = pathlib.Path(r["module"])
        package = module.parent
        self.assertEqual(module.name, "__init__.py")
        self.assertEqual(package.name, "kelhash")
        self.assertTrue(str(module).startswith(str(self.venv) + os.sep),
                        "kelhash imported from %s, outside the venv %s" % (module, self.venv))
        self.assertIn(str(package.parent), r["site"])
        library = pathlib.Path(r["library"])
        self.assertEqual(library.parent, package, "the module loaded %s" % library)
        # One regular file, not a link to a build tree.
        self.assertFalse(library.is_symlink())
        self.assertTrue(stat.S_ISREG(library.lstat().st_mode))
        if r["mapped"] is not None:
            self.assertEqual(r["mapped"], [str(library)])

    def test_golden_files_and_strings(self):
        files = self.report["files"]
        rows = golden_rows()
        self.assertEqual(sorted(files), sorted(name for name, _, _, _ in rows))
        for name, osub, shooter, md5 in rows:
            with self.subTest(file=name):
                got = files[name]
                # As a path, as bytes and as a URL.
                self.assertEqual(got["opensubtitles"], [osub, osub, osub])
                self.assertEqual(got["shooter"], [shooter, shooter, shooter])
                self.assertEqual(got["md5"], [md5, md5, md5])
        self.assertEqual(self.report["stable"], golden_stable())

    def test_failure_has_the_library_status_and_message(self):
        self.assertEqual(self.report["error"], [1, "cannot open file"])

    def test_versions_are_cmakes(self):
        self.assertEqual(self.report["dist_version"], VERSION)
        self.assertEqual(self.report["version"], VERSION)

    def test_wheel_is_a_platform_wheel_for_any_python3(self):
        wheel = self.report["wheel"]
        self.assertEqual(wheel["Root-Is-Purelib"], "false")
        python, abi, platform = wheel["Tag"].split("-")
        self.assertEqual((python, abi), ("py3", "none"))
        self.assertNotEqual(platform, "any")
        # pip's own list of what this interpreter can install.
        self.assertTrue(self.report["tag_supported"], wheel["Tag"])

    def test_installs_the_package_and_its_metadata_only(self):
        dist_info = "kelhash-%s.dist-info" % VERSION
        tops = {p.split("/")[0] for p in self.report["record"]}
        self.assertEqual(tops, {"kelhash", dist_info})
        names = {p.split("/", 1)[1] for p in self.report["record"] if p.startswith("kelhash/")}
        names = {n for n in names if not n.startswith("__pycache__/")}
        self.assertEqual(names, {"__init__.py", pathlib.Path(self.report["library"]).name})


class _PipInstall(InstalledPackageChecks):
    system_site_packages = False

    @classmethod
    def install(cls, tmp):
        src = tmp / "kelhash"
        copy_source_tree(src)
        cls.venv = tmp / "venv"
        python = make_venv(cls.venv, cls.system_site_packages)
        if not has_module(python, "setuptools"):
            raise unittest.SkipTest("this Python's venv comes without setuptools")
        cls.has_bdist_wheel = (has_module(python, "setuptools.command.bdist_wheel")
                               or has_module(python, "wheel.bdist_wheel"))
        # From another directory, as the README says; no index is reachable.
        cls.pip_output = run([python, "-m", "pip", "install", "--no-build-isolation",
                              "--no-index", "--no-cache-dir", src], cwd=tmp)
        cls.report = installed_report(python)

    def test_wheel_made_by_bdist_wheel_where_there_is_one(self):
        generator = self.report["wheel"]["Generator"]
        print("\n  wheel generator: %s" % generator, file=sys.stderr)
        if self.has_bdist_wheel:
            self.assertTrue(generator.startswith("bdist_wheel"), generator)
        else:
            self.assertEqual(generator, "kelhash setup.py")


class FreshVenvInstall(_PipInstall, unittest.TestCase):
    """python -m venv v && v/bin/pip install --no-build-isolation SRC: the
    venv's own setuptools only; before setuptools 70.1 that has no
    bdist_wheel without the wheel package, and setup.py packs the wheel."""


class SystemSetuptoolsInstall(_PipInstall, unittest.TestCase):
    """A venv that sees the system's setuptools and wheel (Debian's
    python3-setuptools and python3-wheel): bdist_wheel makes the wheel."""

    system_site_packages = True

    @classmethod
    def setUpClass(cls):
        try:
            import wheel  # noqa: F401
        except ImportError:
            raise unittest.SkipTest("this Python has no wheel package")
        super().setUpClass()


class SdistRoundTrip(InstalledPackageChecks, unittest.TestCase):
    """python -m build --sdist, the sdist unpacked into an empty directory,
    python -m build --wheel there, and the wheel installed into a fresh venv."""

    scratch_prefix = "kelhash-sdist-"

    @classmethod
    def setUpClass(cls):
        try:
            from build import ProjectBuilder  # noqa: F401
        except ImportError:
            raise unittest.SkipTest("this Python has no build module (Debian: python3-build)")
        super().setUpClass()

    @classmethod
    def install(cls, tmp):
        src = tmp / "kelhash"
        copy_source_tree(src)
        cls.tree = src
        (tmp / "sdist").mkdir()
        run([sys.executable, "-m", "build", "--no-isolation", "--sdist",
             "--outdir", tmp / "sdist", src], cwd=tmp / "sdist")
        sdists = list((tmp / "sdist").glob("*.tar.gz"))
        assert len(sdists) == 1, sdists
        cls.sdist = sdists[0]
        unpacked = tmp / "unpacked"
        unpacked.mkdir()
        with tarfile.open(cls.sdist) as tf:
            cls.members = tf.getnames()
            cls.files = [m.name for m in tf.getmembers() if m.isfile()]
            if hasattr(tarfile, "data_filter"):
                tf.extractall(unpacked, filter="data")
            else:
                tf.extractall(unpacked)
        (root,) = unpacked.iterdir()
        empty = tmp / "empty"
        empty.mkdir()
        run([sys.executable, "-m", "build", "--no-isolation", "--wheel",
             "--outdir", tmp / "wheels", root], cwd=empty)
        wheels = list((tmp / "wheels").glob("*.whl"))
        assert len(wheels) == 1, wheels
        cls.wheel = wheels[0]
        cls.venv = tmp / "venv"
        python = make_venv(cls.venv)
        run([python, "-m", "pip", "install", "--no-index", "--no-cache-dir", cls.wheel],
            cwd=tmp)
        cls.report = installed_report(python)

    def test_sdist_name_and_wheel_name(self):
        self.assertEqual(self.sdist.name, "kelhash-%s.tar.gz" % VERSION)
        self.assertRegex(self.wheel.name, r"^kelhash-%s-py3-none-(\w+)\.whl$" % re.escape(VERSION))
        self.assertNotIn("-any.whl", self.wheel.name)

    def test_sdist_holds_the_build_and_nothing_else(self):
        prefix = "kelhash-%s/" % VERSION
        for name in self.members:
            self.assertTrue((name + "/").startswith(prefix), name)
        files = {name[len(prefix):] for name in self.files}
        # Every source the CMake build reads, listed from the tree itself.
        needed = {"CMakeLists.txt", "pyproject.toml", "setup.py", "MANIFEST.in", "README.md",
                  "bindings/python/kelhash/__init__.py",
                  "bindings/python/build_backend/kelhash_build_backend.py"}
        for part in ("src", "include", "cmake"):
            needed |= {p.relative_to(self.tree).as_posix()
                       for p in (self.tree / part).rglob("*") if p.is_file()}
        self.assertEqual(needed - files, set())
        # Beyond them only the metadata that setuptools writes.
        extra = {f for f in files - needed
                 if f not in ("PKG-INFO", "setup.cfg")
                 and not f.startswith("bindings/python/kelhash.egg-info/")}
        self.assertEqual(extra, set())


class BackendRequirements(unittest.TestCase):
    """CMake and Ninja come from the package index only when this machine has
    no usable ones (stand-in programs on PATH play the machine's)."""

    @classmethod
    def setUpClass(cls):
        if os.name == "nt":
            raise unittest.SkipTest("the stand-in programs are shell scripts")
        sys.path.insert(0, str(BACKEND_DIR))
        try:
            import kelhash_build_backend
        finally:
            sys.path.remove(str(BACKEND_DIR))
        cls.backend = kelhash_build_backend
        text = (SOURCE / "CMakeLists.txt").read_text(encoding="utf-8")
        major, minor = re.search(r"cmake_minimum_required\(VERSION (\d+)\.(\d+)", text).groups()
        cls.minimum = (int(major), int(minor))

    def requirements(self, cmake_body=None, tools=()):
        """native_build_requirements() with PATH holding only a stand-in
        cmake (running cmake_body) and the named tools."""
        with tempfile.TemporaryDirectory(prefix="kelhash-path-") as bindir:
            programs = {name: "exit 0" for name in tools}
            if cmake_body is not None:
                programs["cmake"] = cmake_body
            for name, body in programs.items():
                path = os.path.join(bindir, name)
                with open(path, "w") as f:
                    f.write("#!/bin/sh\n" + body + "\n")
                os.chmod(path, 0o755)
            saved = os.environ["PATH"]
            os.environ["PATH"] = bindir
            try:
                return self.backend.native_build_requirements()
            finally:
                os.environ["PATH"] = saved

    def test_requirements_follow_what_the_machine_has(self):
        major, minor = self.minimum
        older = "%d.%d.9" % (major, minor - 1) if minor else "%d.99.0" % (major - 1)
        cmake_req = "cmake>=%d.%d" % self.minimum
        cases = [
            (None, (), [cmake_req, "ninja"]),
            (None, ("ninja",), [cmake_req]),
            (older, ("make",), [cmake_req]),
            ("%d.%d.0" % (major, minor), ("make",), []),
            ("%d.%d.1" % (major, minor), ("ninja",), []),
            ("%d.0.0" % (major + 1), ("make",), []),
            ("%d.%d.1" % (major, minor), (), ["ninja"]),
        ]
        for version, tools, expected in cases:
            with self.subTest(cmake=version, tools=tools):
                body = None if version is None else "echo 'cmake version %s'" % version
                self.assertEqual(self.requirements(body, tools), expected)

    def test_a_cmake_that_fails_counts_as_none(self):
        self.assertEqual(self.requirements("exit 1", ("ninja",)),
                         ["cmake>=%d.%d" % self.minimum])


if __name__ == "__main__":
    unittest.main()
