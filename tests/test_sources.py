"""The model of the checks names what the C++ tables name: a name changed
in one place and not the other is reported here, by name, before any
behaviour test has to find it. And a slot is taken only by its own table;
what is particular to a compiler or platform stays in compat.hpp; the
namespace code compiles only with the headers of the version that
marshalled it."""

import os
import re
import sys
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


# What a compiler or platform spells its own way is spelt once, in
# compat.hpp: a cross compiler for Windows (MinGW) accepts GCC's builtins and
# attributes, so the compile check cannot catch one elsewhere, and MSVC
# would not compile it.
NONPORTABLE = {
    "compiler builtin": r"\b__builtin_\w",
    "attribute": r"\[\[gnu::|__attribute__|__declspec|__forceinline",
    "intrinsic": r"\b_BitScan\w|\b_AddressOfReturnAddress\b|<intrin\.h>",
    "POSIX threads": r"\bpthread_\w|<pthread\.h>",
    "Windows API": r"<windows\.h>|\bGetCurrentThread\w*|\b(?:DWORD|ULONG_PTR)\b",
    "platform or compiler test": r"\b(?:_WIN32|_WIN64|__APPLE__|__linux__|_MSC_VER|__GNUC__|__clang__)\b",
}


@pytest.mark.parametrize("kind", NONPORTABLE)
def test_platform_and_compiler_specifics_stay_in_compat(kind):
    found = [f"{path.name}:{number}: {line.strip()}"
             for path in sorted(SOURCES.glob("*.[ch]pp")) if path.name != "compat.hpp"
             for number, line in enumerate(path.read_text().splitlines(), 1)
             if re.search(NONPORTABLE[kind], line)]  # fmt: skip
    assert not found, found


def other_version_headers():
    """The include folder of a pyenv CPython of another minor version."""
    import glob
    import sysconfig

    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    ours = "3.%d" % sys.version_info[1]  # a debug build's folder is python3.Xd
    for folder in sorted(glob.glob(os.path.join(root, "versions", "3.*", "include", "python3.*"))):
        version = re.match(r"python(3\.\d+)", os.path.basename(folder)).group(1)
        if version != ours and os.path.isfile(folder + "/Python.h"):
            return folder
    return None


# The namespace code is marshalled by the interpreter that runs the build;
# compiled with the headers of another version (a cross build), the module
# would fail its import with a SystemError that names nothing. The build
# stops instead, naming both versions.
@pytest.mark.parametrize("headers", ["its own", "another version's"])
def test_namespace_code_of_another_version_does_not_compile(headers, tmp_path, monkeypatch):
    import importlib.util
    import shlex
    import subprocess
    import sysconfig

    pytest.importorskip("setuptools", reason="setup.py needs setuptools (not among the tools of "
                        "another processor's interpreter)")
    root = SOURCES.parent.parent.parent
    include = sysconfig.get_paths()["include"]
    if headers != "its own":
        include = other_version_headers()
        if include is None:
            pytest.skip("no pyenv CPython of another version")
    spec = importlib.util.spec_from_file_location("project_setup", root / "setup.py")
    project_setup = importlib.util.module_from_spec(spec)
    monkeypatch.chdir(root)  # setup.py names the sources from the clone's root
    spec.loader.exec_module(project_setup)
    generated = project_setup.generate_namespace_code(str(tmp_path))
    compiler = shlex.split(sysconfig.get_config_var("CXX") or "c++")
    done = subprocess.run(
        [*compiler, "-std=c++17", "-fsyntax-only", f"-I{generated}", f"-I{include}",
         str(SOURCES / "module.cpp")],
        capture_output=True, text=True, timeout=600)  # fmt: skip
    if headers == "its own":
        assert done.returncode == 0, done.stderr
    else:
        with open(os.path.join(include, "patchlevel.h")) as handle:
            theirs = re.search(r'#define PY_VERSION\s+"([^"]+)"', handle.read()).group(1)
        assert done.returncode != 0
        assert ("the namespace code was marshalled by CPython %d.%d.%d " % sys.version_info[:3] +
                f"and the headers are CPython {theirs}") in done.stderr, done.stderr
