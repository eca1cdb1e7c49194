"""Session set-up: refuse to test an unbuilt module, name the one loaded."""

import pytest

import tarvik.safety.control as control


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
            "`/usr/bin/python3 setup.py build_ext --inplace`), or run "
            "`make test`.",
            returncode=2,
        )


def pytest_report_header(config: pytest.Config) -> str:
    return f"tarvik.safety.control loaded from: {control.__file__}"
