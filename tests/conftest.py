"""Session set-up: find the module, refuse an unbuilt one, name the one loaded.

The suite tests the copy of tarvik.safety.control that the interpreter
imports, when that is a built module, or else this clone's in-place build
(bench/locate.py says which, for the benchmark too).
"""

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import locate  # noqa: E402

locate.use_clone_unless_built()
import tarvik.safety.control as control  # noqa: E402


def pytest_configure(config: pytest.Config) -> None:
    # Before a build, the import finds tarvik/safety/control/ (the C++
    # sources) as an empty namespace package; every test would then fail
    # obscurely.
    if getattr(control, "__file__", None) is None or not hasattr(
        control, "enforce_compute_section"
    ):
        pytest.exit(
            "tarvik.safety.control is not built: the import found only its "
            "source directory. Build it first with `make build` (or "
            "`make build PY=3.12` for another version), or run "
            "`make test`.",
            returncode=2,
        )


def pytest_sessionstart(session: pytest.Session) -> None:
    # The scripts that test another build ask where the module under test
    # came from, whatever the verbosity.
    report = os.environ.get("TARVIK_MODULE_REPORT")
    if report:
        Path(report).write_text(control.__file__)


def pytest_report_header(config: pytest.Config) -> str:
    return f"tarvik.safety.control loaded from: {control.__file__}"
