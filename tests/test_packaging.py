"""The project builds a wheel offline, and the installed module works."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CHECK = """import sys, tarvik.safety.control as m, importlib.resources as r
assert m.__file__.startswith(sys.prefix), m.__file__
assert all(r.files("tarvik.safety").joinpath(name).is_file()
           for name in ("py.typed", "control.pyi"))
try:
    m.enforce_compute_section({"control": {"compute": {"dic": 2}}})
except m.SafetyError as err:
    print(err)
"""


@pytest.mark.skipif(bool(os.environ.get("TARVIK_SANITIZE")),
                    reason="the sanitizer run tests its own build only")
def test_wheel_installs_into_fresh_venv(tmp_path: Path) -> None:
    src = tmp_path / "src"  # a copy: the build leaves the checkout alone
    shutil.copytree(ROOT / "tarvik", src / "tarvik",
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    for name in ("pyproject.toml", "setup.py", "README.md"):
        shutil.copy(ROOT / name, src)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}

    def run(*cmd: object) -> str:
        done = subprocess.run([str(c) for c in cmd], cwd=tmp_path, env=env,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout

    # Without build isolation setuptools needs `wheel`, which a plain venv
    # lacks; the system site packages (Debian's python3-wheel) supply it.
    run(sys.executable, "-m", "venv", "--system-site-packages", "venv")
    python = tmp_path / "venv" / "bin" / "python"
    run(python, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
        "-w", "dist", src)
    (wheel,) = (tmp_path / "dist").glob("tarvik_safety_control-0.1.0-*.whl")
    run(python, "-m", "pip", "install", "--no-index", "--no-deps", wheel)
    assert run(python, "-c", CHECK) == (
        "tarvik safety check: control['compute']['dic'] must be boolean.\n")
