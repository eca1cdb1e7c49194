"""Compile the module's C++ for macOS (arm64, x86_64) and Windows (x64) with
zig's clang, with the project's flags and warnings as errors, against each
folder of CPython headers given (make compile-check).

Usage: scripts/compile_check.py HEADERS... (such as .../include/python3.11)

Nothing here can run what it compiles, so it shows that the source compiles
there, not that it works. The headers are Linux's: for macOS their
pyconfig.h stands in for the Mac's (both LP64 and little-endian; what
differs names the interpreter's own features, which the C API an extension
sees does not depend on), taken for x86_64 where Debian's headers choose
one by processor. For Windows, scripts/windows/pyconfig.h replaces it, and
zig compiles for MinGW-w64 (x86_64-windows-gnu), which is not MSVC: it
accepts GCC's builtins and attributes, which is why tests/test_sources.py
keeps them in compat.hpp, and it does not compile compat.hpp's MSVC
spellings.
"""

import argparse
import concurrent.futures
import marshal
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
os.chdir(ROOT)  # setup.py finds the sources from the clone's root
sys.path.insert(0, str(ROOT))
import setup  # noqa: E402  (the project's flags and namespace header)

TARGETS = {
    "macOS arm64": ("aarch64-macos", "posix"),
    "macOS x86_64": ("x86_64-macos", "posix"),
    "Windows x64": ("x86_64-windows-gnu", "windows"),
}
SOURCES = sorted(ROOT.glob("tarvik/safety/control/*.cpp"))
OUT = ROOT / "build" / "compile-check"


def headers_version(headers: Path) -> tuple:
    text = (headers / "patchlevel.h").read_text()
    return tuple(int(re.search(r"#define PY_%s_VERSION\s+(\d+)" % part, text).group(1))
                 for part in ("MAJOR", "MINOR", "MICRO"))


def linux_pyconfig(headers: Path) -> Path:
    """The headers' own pyconfig.h, or, where Debian's chooses one by
    processor, x86_64's."""
    config = headers / "pyconfig.h"
    chosen = re.search(r"#\s*include <(x86_64-linux-gnu/[^>]*pyconfig\.h)>", config.read_text())
    if chosen:
        config = headers.parent / chosen.group(1)
    if not config.is_file():
        sys.exit(f"compile-check: no pyconfig.h for {headers} ({config})")
    return config


def prepare(headers: Path, version: tuple, index: int) -> dict:
    """Per flavour, a copy of the headers with that flavour's pyconfig.h
    (Python.h includes it from its own folder), and the namespace header
    for the headers' version: its bytes are marshalled by this interpreter,
    which does not matter for code that is compiled only."""
    base = OUT / "{}-python{}.{}".format(index, *version[:2])
    shutil.rmtree(base, ignore_errors=True)
    generated = base / "generated"
    generated.mkdir(parents=True)
    source = Path(setup.NAMESPACE).read_text(encoding="utf-8")
    code = compile(source, "<tarvik.safety.control>", "exec", dont_inherit=True)
    (generated / "namespace_code.h").write_text(
        setup.namespace_header(source, marshal.dumps(code), version), encoding="utf-8")
    configs = {"posix": linux_pyconfig(headers), "windows": ROOT / "scripts/windows/pyconfig.h"}
    folders = {}
    for flavour, config in configs.items():
        folder = base / flavour / "include"
        shutil.copytree(headers, folder, symlinks=False)
        (folder / "pyconfig.h").unlink()
        shutil.copyfile(config, folder / "pyconfig.h")
        folders[flavour] = folder
    return {"generated": generated, **folders}


def compile_one(target: str, folders: dict, flavour: str, source: Path) -> tuple:
    obj = folders["generated"].parent / flavour / (target + "-" + source.stem + ".o")
    command = [sys.executable, "-m", "ziglang", "c++", "-target", target,
               *setup.CXX_FLAGS, "-Werror", "-O2", "-DNDEBUG",
               "-I" + str(folders["generated"]), "-I" + str(folders[flavour]),
               "-c", str(source), "-o", str(obj)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    return done.returncode, done.stdout + done.stderr


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("headers", nargs="+", type=Path)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    # zig's cache in the build folder, not the user's home.
    os.environ.setdefault("ZIG_GLOBAL_CACHE_DIR", str(OUT / "zig-cache"))
    os.environ.setdefault("ZIG_LOCAL_CACHE_DIR", str(OUT / "zig-cache"))
    jobs = []
    for index, headers in enumerate(args.headers):
        if not (headers / "Python.h").is_file():
            sys.exit(f"compile-check: no Python.h in {headers}")
        version = headers_version(headers)
        folders = prepare(headers, version, index)
        for name, (target, flavour) in TARGETS.items():
            for source in SOURCES:
                jobs.append(("{}.{}".format(*version[:2]), name, target, folders, flavour, source))
    failed = set()
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        results = pool.map(lambda job: compile_one(*job[2:]), jobs)
        for (version, name, _, _, _, source), (status, output) in zip(jobs, results):
            if status != 0:
                failed.add((version, name))
                print(f"--- {name}, CPython {version}: {source.name}\n{output}")
    for version, name in sorted({(job[0], job[1]) for job in jobs}):
        print(f"compile-check: {name:13} CPython {version}: "
              + ("FAILED" if (version, name) in failed else "compiles, no warning"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
