"""The instruction-count mode of the benchmark runs and writes its figures."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tarvik.safety import control as native

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="needs valgrind (make bench-instructions)")
@pytest.mark.skipif(bool(os.environ.get("TARVIK_SANITIZE")), reason="counts the in-place build")
# scripts/arches.sh runs another processor's interpreter through a loader or
# an emulator, which valgrind cannot follow.
@pytest.mark.skipif(bool(os.environ.get("TARVIK_ARCH")), reason="valgrind cannot run another processor's interpreter")
def test_instruction_counts_run(tmp_path):
    report = tmp_path / "instructions.json"
    # Fewer calls than 200 leave the loop's count to the interpreter's
    # warming up, which can make it come out negative.
    result = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "instructions.py"), "--only", "typical",
         "--calls", "200", "--json", str(report)],
        capture_output=True, text=True, timeout=600, check=False,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    figures = json.loads(report.read_text())
    assert figures["meta"]["module"] == native.__file__  # the copy under test
    assert figures["problems"] == []
    rows = {(row["workload"], row["check"]): row for row in figures["rows"]}
    assert set(rows) == {("typical", "structure"), ("typical", "compute")}
    for row in rows.values():
        # A call costs more than the bare loop, and the native check more
        # than nothing: counting took place inside the loops.
        assert row["loop_instructions"] > 0 and row["floor_instructions"] > 0
        assert row["instructions"] > 0
