"""The model of the checks names what the C++ tables name: a name changed
in one place and not the other is reported here, by name, before any
behaviour test has to find it. And a slot is taken only by its own table."""

import os
import re
from pathlib import Path

import pytest
import reference

SOURCES = Path(__file__).resolve().parent.parent / "tarvik" / "safety" / "control"
pytestmark = pytest.mark.skipif(not (SOURCES / "tables.hpp").is_file(), reason="needs the C++ sources")

# C++ table (tables.hpp) -> the model's names for it (bench/reference.py)
TABLES = {
    "top_names": reference.TOP_LEVEL_KEYS,
    "predictor_names": reference.PREDICTOR_KEYS,
    "link_names": reference.LINK_KEYS,
    "inla_names": reference.INLA_KEYS,
    "vb_names": reference.CONTROL_VB_KEYS,
    "compute_names": reference.COMPUTE_SWITCHES,
    "strategy_names": reference.STRATEGIES,
    "int_strategy_names": reference.INT_STRATEGIES,
    "vb_strategy_names": reference.VB_STRATEGIES,
    "vb_hessian_names": reference.VB_HESSIAN_STRATEGIES,
    "unquantiled_model_names": reference.UNQUANTILED_MODELS,
}


def cpp_tables():
    text = (SOURCES / "tables.hpp").read_text()
    return {name: re.findall(r'"([^"]*)"', body)
            for name, body in re.findall(r"inline constexpr std::array (\w+)\{([^}]*)\}", text)}  # fmt: skip


@pytest.mark.parametrize("table", TABLES)
def test_model_names_are_the_tables(table):
    assert sorted(cpp_tables()[table]) == sorted(TABLES[table])


# A section takes the slots of its own table and of those it was joined from.
SLOT_USES = {
    "own table": ("inla_keys", "inla::strategy", True),
    "joined from": ("predictor_link_keys", "link_key::fallback", True),
    "another table": ("inla_keys", "vb::strategy", False),
    "the other half of a join": ("link_keys", "predictor::compute", False),
}


@pytest.mark.parametrize("use", SLOT_USES)
def test_a_slot_of_another_table_does_not_compile(use, tmp_path):
    import shlex
    import subprocess
    import sysconfig

    table, slot, compiles = SLOT_USES[use]
    source = tmp_path / "slot.cpp"
    source.write_text(f"""#include "readers.hpp"
bool use(tarvik::FastReader &r, PyObject *mapping)
{{
    auto section = r.section(tarvik::{table});
    return r.read(mapping, &section) && r.get(section, tarvik::{slot});
}}
""")
    compiler = shlex.split(sysconfig.get_config_var("CXX") or "c++")
    include = sysconfig.get_paths()["include"]
    # Debian's pyconfig.h includes its architecture's own, <TRIPLET/pythonX.Y/pyconfig.h>,
    # from the folder above: a system folder, except in the roots of scripts/arches.sh.
    done = subprocess.run(
        [*compiler, "-std=c++17", "-fsyntax-only", f"-I{SOURCES}",
         f"-I{include}", f"-I{os.path.dirname(include)}", str(source)],
        capture_output=True, text=True, timeout=600)  # fmt: skip
    assert (done.returncode == 0) == compiles, done.stderr
