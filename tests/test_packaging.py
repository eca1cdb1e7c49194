"""Packaging: what the sdist and the wheels carry, installs into fresh venvs
of the interpreter's version (beside the tarvik package, and the README's
recipes), how the suite finds the module, the build switches, and make's
dependency check.

All of them carry the `packaging` marker: `make test` leaves them out, `make
test-packaging` runs them (`make test-packaging-versions` under each
version). The venv tests take most of this file's time; they build from a
copy of the clone (the build leaves the checkout alone), install from the
Package Index what a user's pip would, and skip themselves in the sanitizer
run, in the run against the general-reader build, and in the suite that the
README's recipe runs against an installed copy from inside one of them.
With TARVIK_DIST naming a folder that `make dist` filled, they install its
sdist and this version's wheel instead of building their own.
"""

import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path

import messages
import pytest

from tarvik.safety import control

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parent.parent
NESTED = "TARVIK_PACKAGING_TEST"  # set in the suite a packaging test runs
slow = pytest.mark.skipif(
    bool(os.environ.get("TARVIK_SANITIZE") or os.environ.get("TARVIK_GENERAL_READER")
         or os.environ.get(NESTED)),
    reason="venv and pip: not in the sanitizer or the general-reader run, nor inside a packaging test")
MODULE = f"tarvik/safety/control{sysconfig.get_config_var('EXT_SUFFIX')}"
OURS = {MODULE, "tarvik/safety/control.pyi"}
PACKAGE = {"tarvik/__init__.py", "tarvik/safety/__init__.py", "tarvik/safety/errors.py",
           "tarvik/safety/family.py", "tarvik/safety/py.typed"}  # the stand-ins
TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"
MESSAGE = messages.compute_not_bool.format("dic")
BUILD_PRODUCTS = shutil.ignore_patterns(
    ".git", "build", "dist", "*.egg-info", "*.so", "__pycache__", ".venv*", ".pytest_cache",
    ".hypothesis", ".mypy_cache")


def user_env(**extra):
    """The environment of a user's shell: no strict build, no path of ours, and
    this interpreter as `python` (its venv's bin/ first on the path)."""
    ours = ("PYTHONPATH", "PYTHONSAFEPATH", "PYTHONMALLOC", "LD_PRELOAD", "TARVIK_WERROR",
            "TARVIK_SANITIZE", "TARVIK_GENERAL_READER", "VIRTUAL_ENV")
    env = {k: v for k, v in os.environ.items() if k not in ours}
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    return {**env, "PIP_DISABLE_PIP_VERSION_CHECK": "1", **extra}


def run(*cmd, cwd, env=None, ok=True, timeout=900):
    done = subprocess.run([str(c) for c in cmd], cwd=cwd, env=env or user_env(),
                          capture_output=True, text=True, timeout=timeout)
    if ok:
        assert done.returncode == 0, f"{cmd}\n{done.stdout}\n{done.stderr}"
    return done


def copy_of_clone(dst: Path) -> Path:
    shutil.copytree(ROOT, dst, symlinks=True, ignore=BUILD_PRODUCTS)
    return dst


def readme_recipes() -> str:
    """The sh blocks of the README's install section, in order."""
    text = (ROOT / "README.md").read_text()
    section = text.split("\n## Installing with pip\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"^```sh\n(.*?)^```$", section, re.S | re.M)
    assert blocks, "no sh blocks in the README's install section"
    return "".join(blocks)


def wheel_files(wheel: Path) -> set:
    names = zipfile.ZipFile(wheel).namelist()
    return {name for name in names if ".dist-info/" not in name}


@slow
def test_readme_recipes(tmp_path):
    clone = copy_of_clone(tmp_path / "clone")
    # A file an older build left in the build folder must not reach a wheel.
    stale = clone / "build" / f"lib.{sysconfig.get_platform()}-{sys.implementation.cache_tag}"
    (stale / "tarvik" / "safety").mkdir(parents=True)
    (stale / "tarvik" / "safety" / "stale.py").write_text("")
    script = "set -euo pipefail\n" + readme_recipes()
    out = run("bash", "-c", script, cwd=clone, env=user_env(**{NESTED: "1"})).stdout

    site = f"lib/python{sys.version_info.major}.{sys.version_info.minor}/site-packages"
    for venv in (".venv-try", ".venv-wheel"):  # from the clone, from the wheel
        assert f"{clone}/{venv}/{site}/{MODULE}\n" in out, out
    # The suite passed against the installed copy, and said so.
    loaded = re.escape(f"tarvik.safety.control loaded from: {clone}/.venv-try/{site}/{MODULE}")
    assert re.search(rf"^{loaded}$", out, re.M), out
    assert re.search(r"^=+ \d+ passed", out, re.M), out
    (ours,) = (clone / "dist").glob("tarvik_safety_control-*.whl")
    (standins,) = (clone / "dist").glob("tarvik_safety_control_standins-*.whl")
    assert f"-{TAG}-{TAG}-" in ours.name
    assert wheel_files(ours) == OURS
    assert wheel_files(standins) == PACKAGE


FAKE_PACKAGE = {  # a tarvik of its own, as the real one would be installed
    "tarvik/__init__.py": '"""The real tarvik."""\nVERSION = "9.9"\n',
    "tarvik/py.typed": "",
    "tarvik/models.py": "def fit(**kwargs):\n    return kwargs\n",
    "tarvik/safety/__init__.py": "",
    "tarvik/safety/errors.py":
        "class SafetyError(ValueError):\n    origin = 'real tarvik'\n",
    "tarvik/safety/family.py":
        "def _normalize_family_spec(family):\n    return family\n\n\n"
        "def _normalize_link_value(link):\n    return link\n",
}
FAKE_PYPROJECT = """[build-system]
requires = ["setuptools>=61"]
build-backend = "setuptools.build_meta"
[project]
name = "tarvik"
version = "9.9"
[tool.setuptools]
packages = ["tarvik", "tarvik.safety"]
[tool.setuptools.package-data]
tarvik = ["py.typed"]
"""
SNAPSHOT = """import hashlib, importlib.metadata as md, json
print(json.dumps({str(f): hashlib.sha256(f.locate().read_bytes()).hexdigest()
                  for f in md.files("tarvik")}))
"""
BESIDE = """import tarvik.safety.control as m, tarvik.safety.errors as e, tarvik.safety.family as f
assert (m.SafetyError, m._normalize_family_spec) == (e.SafetyError, f._normalize_family_spec)
try:
    m.enforce_compute_section({"control": {"compute": {"dic": 2}}})
except e.SafetyError as err:
    print(err.origin, err, sep=": ")
"""
AFTER = """import pathlib, tarvik.models, tarvik.safety.errors
print(list(pathlib.Path(tarvik.safety.__file__).parent.glob("control*")))
try:
    import tarvik.safety.control
except ModuleNotFoundError as err:
    print(err)
"""


def distributions(tmp_path):
    """The sdist and this version's wheel: those `make dist` left in
    TARVIK_DIST, or else ones built here from a copy of the clone (the wheel
    from the sdist, as `python -m build` makes it)."""
    made = os.environ.get("TARVIK_DIST")
    if made:
        folder = Path(made)
    else:
        clone = copy_of_clone(tmp_path / "clone")
        folder = tmp_path / "dist"
        run(sys.executable, "-m", "build", "--outdir", folder, clone, cwd=tmp_path)
    (sdist,) = folder.glob("tarvik_safety_control-*.tar.gz")
    (wheel,) = folder.glob(f"tarvik_safety_control-*-{TAG}-{TAG}-*linux*_{platform.machine()}.whl")
    if made:  # what ships: the Package Index takes manylinux wheels alone
        assert "-manylinux_2_17_" in wheel.name, wheel.name
    return sdist, wheel


def dev_tools_path() -> str:
    """Where this venv's pure-Python tools (pytest, hypothesis) lie, for a
    suite run by another venv that has only the module installed."""
    return sysconfig.get_paths()["purelib"]


@slow
@pytest.mark.parametrize("source", ["wheel", "sdist"])
def test_installs_beside_the_package_and_leaves_it_alone(source, tmp_path):
    sdist, wheel = distributions(tmp_path)
    with tarfile.open(sdist) as archive:
        members = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    sources = {str(p.relative_to(ROOT)) for pattern in ("*.cpp", "*.hpp")
               for p in (ROOT / "tarvik/safety/control").glob(pattern)}
    assert sources >= {"tarvik/safety/control/checks.hpp", "tarvik/safety/control/refs.hpp"}
    assert members >= sources | {"tarvik/safety/control.pyi", "setup.py", "pyproject.toml",
                                 "MANIFEST.in", "README.md", "CHANGELOG.md"}
    assert not members & PACKAGE and not any(name.startswith("tests/") for name in members)
    assert wheel_files(wheel) == OURS

    fake = tmp_path / "fake"
    for name, text in FAKE_PACKAGE.items():
        (fake / name).parent.mkdir(parents=True, exist_ok=True)
        (fake / name).write_text(text)
    (fake / "pyproject.toml").write_text(FAKE_PYPROJECT)
    run(sys.executable, "-m", "venv", "venv", cwd=tmp_path)  # a fresh one: pip alone
    python = tmp_path / "venv" / "bin" / "python"

    def pip(*args):
        return run(python, "-m", "pip", *args, "--no-deps", cwd=tmp_path).stdout

    def snapshot():
        return json.loads(run(python, "-P", "-c", SNAPSHOT, cwd=tmp_path).stdout)

    pip("install", fake)
    before = snapshot()
    assert set(before) >= set(FAKE_PACKAGE)

    # The wheel offline; the sdist built by pip, in isolation.
    pip("install", *(["--no-index", wheel] if source == "wheel" else [sdist]))
    assert snapshot() == before
    assert run(python, "-P", "-c", BESIDE, cwd=tmp_path).stdout == f"real tarvik: {MESSAGE}\n"
    # The package is marked typed, so mypy reads the stub beside the module.
    typed = run(sys.executable, "-m", "mypy", "--python-executable", python, "--no-incremental",
                "--cache-dir", tmp_path / "mypy", "-c",
                "from tarvik.safety.control import enforce_compute_section as f\nf(1)\n",
                cwd=tmp_path, ok=False)
    assert typed.returncode == 1 and 'has incompatible type "int"' in typed.stdout, typed.stdout

    run(python, "-m", "pip", "uninstall", "-y", "tarvik-safety-control", cwd=tmp_path)
    assert snapshot() == before
    assert run(python, "-P", "-c", AFTER, cwd=tmp_path).stdout == (
        "[]\nNo module named 'tarvik.safety.control'\n")


@slow
def test_the_suite_passes_against_the_wheel(tmp_path):
    """The wheel that ships, installed offline into a fresh venv beside the
    stand-ins: the whole suite, packaging aside, against that copy."""
    _, wheel = distributions(tmp_path)
    standins = next(Path(os.environ["TARVIK_DIST"]).glob("tarvik_safety_control_standins-*.whl")) \
        if os.environ.get("TARVIK_DIST") else None
    if standins is None:
        run(sys.executable, "-m", "build", "--wheel", "--outdir", tmp_path / "standins",
            ROOT / "standins", cwd=tmp_path)
        (standins,) = (tmp_path / "standins").glob("*.whl")
    run(sys.executable, "-m", "venv", "venv", cwd=tmp_path)
    python = tmp_path / "venv" / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-index", "--no-deps", wheel, standins, cwd=tmp_path)
    report = tmp_path / "module.txt"  # the suite names the module it tested
    env = user_env(PYTHONPATH=dev_tools_path(), TARVIK_MODULE_REPORT=str(report), **{NESTED: "1"})
    done = run(python, "-P", "-m", "pytest", "-p", "no:cacheprovider", "-q", "-x",
               "-m", "not packaging", ROOT / "tests", cwd=tmp_path, env=env, ok=False)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert report.read_text().startswith(str(tmp_path / "venv" / "lib")), report.read_text()


# The arm64 interpreter is Debian's, in the root that scripts/arches.sh
# makes (under qemu); its version is the host Debian's default, so only that
# version's aarch64 wheel meets it. Not inside the sid chroot, whose own
# interpreters are of other versions.
@slow
@pytest.mark.skipif(not os.environ.get("TARVIK_DIST") or bool(os.environ.get("TARVIK_IN_SID")),
                    reason="the aarch64 wheel of make dist, on the host")
def test_the_suite_passes_against_the_aarch64_wheel_under_emulation(tmp_path):
    arches = ROOT / "scripts" / "arches.sh"
    version = run(arches, "version", "arm64", cwd=ROOT, env=dict(os.environ)).stdout.strip()
    if version != "%d.%d" % sys.version_info[:2]:
        pytest.skip(f"the emulated arm64 interpreter is CPython {version}")
    folder = Path(os.environ["TARVIK_DIST"])
    (wheel,) = folder.glob(f"tarvik_safety_control-*-{TAG}-{TAG}-manylinux_2_17_aarch64.whl")
    (standins,) = folder.glob("tarvik_safety_control_standins-*.whl")
    target = tmp_path / "arm64"
    run(sys.executable, "-m", "pip", "install", "--no-deps", "--no-index", "--target", target,
        "--only-binary=:all:", "--platform", "manylinux_2_17_aarch64", "--implementation", "cp",
        "--abi", TAG, "--python-version", version, wheel, standins, cwd=tmp_path)
    # arches.sh fails, too, unless the suite tested the module in target.
    done = run(arches, "run", "arm64", target, cwd=ROOT, env=dict(os.environ), ok=False,
               timeout=3600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]


@pytest.mark.parametrize("where", ["root", "elsewhere"])
def test_pytest_command_tests_the_same_module(where, tmp_path):
    # -P: no folder of ours on the path, as with the `pytest` command; the
    # sanitizer build, an installed copy or the in-place build must still be
    # the one found, whichever folder pytest runs from.
    cwd = ROOT if where == "root" else tmp_path
    done = run(sys.executable, "-P", "-m", "pytest", "--collect-only", "-p", "no:cacheprovider",
               ROOT / "tests" / "test_module.py", cwd=cwd, env=dict(os.environ))
    assert f"tarvik.safety.control loaded from: {control.__file__}\n" in done.stdout


# Stands in for the compiler and linker: notes its arguments, makes its output.
RECORDING_COMPILER = """#!/bin/sh
echo "$@" >> "$COMPILES"
while [ $# -gt 0 ]; do
    if [ "$1" = -o ]; then mkdir -p "$(dirname "$2")" && : > "$2"; fi
    shift
done
"""


def compile_flags(tmp_path, variable, value):
    """The flags of each compiler run of a build with `variable` set to
    `value` (None: not set)."""
    compiler = tmp_path / "cc"
    compiler.write_text(RECORDING_COMPILER)
    compiler.chmod(0o755)
    record = tmp_path / "compiles"
    env = user_env(CC=str(compiler), CXX=str(compiler), LDSHARED=f"{compiler} -shared",
                   COMPILES=str(record), **({variable: value} if value else {}))
    run(sys.executable, "setup.py", "build_ext", "--force", "--build-lib", tmp_path / "lib",
        "--build-temp", tmp_path / "temp", cwd=ROOT, env=env)
    lines = record.read_text().splitlines()
    compiles = [set(line.split()) for line in lines if re.search(r"(^|\s)-c \S+\.cpp", line)]
    assert compiles, lines
    return compiles


@pytest.mark.parametrize("werror, strict", [("1", True), ("0", False), (None, False)])
def test_warnings_are_errors_only_in_our_builds(werror, strict, tmp_path):
    compiles = compile_flags(tmp_path, "TARVIK_WERROR", werror)
    assert all(("-Werror" in flags) == strict for flags in compiles), compiles
    assert all({"-fno-exceptions", "-fvisibility=hidden"} <= flags for flags in compiles)


@pytest.mark.parametrize("value, general", [("1", True), ("0", False), (None, False)])
def test_general_reader_build_switch(value, general, tmp_path):
    compiles = compile_flags(tmp_path, "TARVIK_GENERAL_READER", value)
    assert all(("-DTARVIK_GENERAL_READER=1" in flags) == general for flags in compiles), compiles


@pytest.mark.skipif(shutil.which("make") is None or (os.geteuid() == 0 and not shutil.which("runuser")),
                    reason="needs make, and runuser to drop root")
def test_missing_package_without_root_says_what_to_do():
    # In a folder anyone can read, so that the check runs as a user without root.
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o755)
        shutil.copy(ROOT / "Makefile", folder)
        shutil.copytree(ROOT / "scripts", Path(folder) / "scripts")
        cmd = ["make", "-s", "deps", "DEB_PACKAGES=make tarvik-no-such-package"]
        if os.geteuid() == 0:
            cmd = ["runuser", "-u", "nobody", "--"] + cmd
        done = run(*cmd, cwd=folder, ok=False)
    assert done.returncode != 0
    assert done.stderr.startswith("Missing Debian packages: tarvik-no-such-package\n"), done.stderr
    assert "run `make deps`" in done.stderr and "lock" not in done.stderr
