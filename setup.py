"""Build of the C++ extension module tarvik.safety.control.

The distribution is the module and its type stub (control.pyi, placed beside
the module), nothing else: tarvik/__init__.py, tarvik/safety/__init__.py,
errors.py and family.py belong to the tarvik package, and the files of those
names in this repository are stand-ins (standins/ makes them a distribution
of their own).  Everything else about the project is in pyproject.toml.

Environment variables read here:
  TARVIK_WERROR=1    warnings are errors (set by the Makefile and scripts/ for
                     the project's own builds; a user's build only warns)
  TARVIK_SANITIZE=1  build with AddressSanitizer and UndefinedBehaviorSanitizer
                     (used by scripts/sanitize.sh; such a build needs the
                     sanitizer runtimes preloaded)
  TARVIK_GENERAL_READER=1
                     build without the fast reader: the general reader decides
                     every call, through the objects' own methods (used by
                     scripts/general.sh to run the whole suite through it)
  TARVIK_LINKER=CMD  link the module with CMD (and -shared) instead of the
                     compiler: scripts/wheel.sh links its wheels with zig
                     against an old glibc's symbols
  TARVIK_COUNT_PATHS=1
                     count the calls the fast reader leaves undecided and the
                     mappings whose keys it lists, read by the module's
                     _path_counts() (counts.hpp; used by scripts/counting.sh)
  TARVIK_FUZZ=1      build for the fuzzer: the sanitizers of TARVIK_SANITIZE
                     and libFuzzer's coverage of every edge and comparison
                     (clang only, CC=clang CXX=clang++; used by
                     scripts/fuzz.sh, which preloads atheris's runtimes)
  TARVIK_STACK_FALLBACK=1
                     bound the stack by the portable budget of compat.hpp
                     instead of the platform's own interface (used by
                     scripts/stack_fallback.sh to test it on Linux)

Each compiler family gets its own flags (compiler_flags): GCC and Clang
(also for MinGW), and MSVC.  scripts/compile_check.py imports the flags and
the namespace header from here, hence `setup()` under __main__.
"""

import json
import marshal
import os
import platform
import shlex
import sys
from glob import glob

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install_lib import install_lib

# GCC and Clang.
CXX_FLAGS = [
    "-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden",
    # Nothing in the module throws. Without exception tables, the forced
    # unwind that ends a daemon thread at interpreter shutdown passes through
    # our frames instead of running destructors (or std::terminate) there.
    "-fno-exceptions",
]
# MSVC. /W3, not /W4: CPython builds itself, and so keeps its headers clean,
# at level 3, and no MSVC here shows what level 4 finds in them, which /WX
# would make fatal; the GCC/Clang builds are the project's strict lint. No
# exceptions, as above: /EHs-c- overrides the /EHsc that setuptools gives a
# C++ source (cl notes it, D9025, a command-line warning /WX leaves alone).
MSVC_FLAGS = ["/std:c++17", "/W3", "/EHs-c-", "/D_HAS_EXCEPTIONS=0"]
SANITIZE_FLAGS = [
    "-fsanitize=address,undefined",
    "-fno-omit-frame-pointer",
    "-fno-sanitize-recover=undefined",
    "-O1",
    "-g",
]
# Coverage of edges and comparisons for libFuzzer, whose runtime and the
# sanitizers' come with atheris (preloaded). That runtime is of a newer clang
# than Debian's: it has no handlers for the checks of calls through function
# pointers and of dynamic types of clang 14, which are left out (the module
# has no virtual functions).
FUZZ_FLAGS = ["-fsanitize=fuzzer-no-link"] + SANITIZE_FLAGS + [
    "-fno-sanitize=function,vptr",
]
# Warning options that an interpreter may have been configured with for C;
# g++ warns that they do not apply to C++, and -Werror would make that fatal.
C_ONLY_FLAGS = {
    "-Wstrict-prototypes",
    "-Wmissing-prototypes",
    "-Wold-style-definition",
    "-Wdeclaration-after-statement",
    "-Werror=declaration-after-statement",
    "-Wimplicit-function-declaration",
    "-Werror=implicit-function-declaration",
    "-Wnested-externs",
    "-Wbad-function-cast",
    "-std=c99",
    "-std=c11",
}


def switched_on(name: str) -> bool:
    return os.environ.get(name, "") not in ("", "0")


NAMESPACE = "tarvik/safety/control/namespace.py"


def namespace_header(source: str, data: bytes, version: tuple) -> str:
    """namespace_code.h: the text of namespace.py and its code `data`, as
    marshalled by CPython `version` (major, minor, micro). Marshalled code
    runs only on its own version; compiled with another's headers, the
    build stops there, naming both (the module's import would fail with a
    SystemError that says nothing)."""
    lines = [", ".join(str(byte) for byte in data[i:i + 16])
             for i in range(0, len(data), 16)]
    marshalled_by = "%d.%d.%d" % tuple(version[:3])
    return ("// Made by setup.py from {}: its text, and its code marshalled"
            " by CPython {}.\n"
            "static_assert(PY_VERSION_HEX >> 16 == 0x{:02X}{:02X},\n"
            "              \"the namespace code was marshalled by CPython {}"
            " and the headers are CPython \" PY_VERSION\n"
            "              \": build with the headers' own interpreter\");\n"
            "static const char namespace_source[] = {};\n"
            "static const unsigned char namespace_code[] = {{\n    {},\n}};\n"
            ).format(NAMESPACE, marshalled_by, version[0], version[1],
                     marshalled_by, json.dumps(source),
                     ",\n    ".join(lines))


def write_if_changed(path: str, text: str) -> None:
    old = None
    if os.path.exists(path):
        with open(path, encoding="utf-8") as handle:
            old = handle.read()
    if old != text:  # an unchanged file leaves the objects up to date
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)


def generate_namespace_code(build_temp: str) -> str:
    """Compile the module's namespace (namespace.py) into a C array of its
    marshalled code object, beside its text (namespace_code.h, in a folder
    of the build), which the module runs at its initialisation; return that
    folder."""
    with open(NAMESPACE, encoding="utf-8") as handle:
        source = handle.read()
    code = compile(source, "<tarvik.safety.control>", "exec", dont_inherit=True)
    folder = os.path.join(build_temp, "generated")
    write_if_changed(os.path.join(folder, "namespace_code.h"),
                     namespace_header(source, marshal.dumps(code),
                                      sys.version_info))
    return folder


# The module's one exported symbol, whatever the optimisation: without a
# list, an -Og build exports weak instances of libstdc++'s templates.
EXPORTS = "{ global: PyInit_control; local: *; };\n"


def compiler_flags(compiler_type: str, build_temp: str) -> tuple:
    """(compile flags, link flags) of a compiler family (distutils'
    compiler_type) for this build's switches."""
    werror = switched_on("TARVIK_WERROR")
    if compiler_type == "msvc":
        # Windows exports what is declared so (PyMODINIT_FUNC), nothing more.
        return MSVC_FLAGS + (["/WX"] if werror else []), []
    compile_args = list(CXX_FLAGS) + (["-Werror"] if werror else [])
    link_args = []
    if switched_on("TARVIK_FUZZ"):
        compile_args += FUZZ_FLAGS
        link_args += FUZZ_FLAGS
    elif switched_on("TARVIK_SANITIZE"):
        compile_args += SANITIZE_FLAGS
        link_args += SANITIZE_FLAGS
    if sys.platform == "darwin":
        link_args.append("-Wl,-exported_symbol,_PyInit_control")
    elif compiler_type == "unix" and platform.system() in (
            "Linux", "FreeBSD", "NetBSD", "OpenBSD", "DragonFly"):
        exports = os.path.join(build_temp, "generated", "exports.map")
        write_if_changed(exports, EXPORTS)
        link_args.append("-Wl,--version-script=" + os.path.abspath(exports))
    return compile_args, link_args


class BuildExt(build_ext):
    """build_ext that keeps the interpreter's C-only flags away from g++ and
    puts each module's stub beside it."""

    def build_extensions(self) -> None:
        include = generate_namespace_code(self.build_temp)
        compile_args, link_args = compiler_flags(
            self.compiler.compiler_type, self.build_temp)
        for ext in self.extensions:
            ext.include_dirs.append(include)
            ext.extra_compile_args = compile_args + ext.extra_compile_args
            ext.extra_link_args = link_args + ext.extra_link_args
        for attr in ("compiler", "compiler_so", "compiler_cxx", "linker_so"):
            command = getattr(self.compiler, attr, None)
            if isinstance(command, list):
                setattr(
                    self.compiler,
                    attr,
                    [flag for flag in command if flag not in C_ONLY_FLAGS],
                )
        linker = shlex.split(os.environ.get("TARVIK_LINKER", ""))
        if linker:
            # A C++ module is linked by compiler_cxx followed by what
            # linker_so adds to the compiler: both name the linker.
            for attr in ("linker_so", "linker_so_cxx"):
                if hasattr(self.compiler, attr):
                    self.compiler.set_executable(attr, linker + ["-shared"])
            for attr in ("compiler_cxx", "linker_exe", "linker_exe_cxx"):
                if hasattr(self.compiler, attr):
                    self.compiler.set_executable(attr, linker)
        super().build_extensions()

    def stubs(self) -> list:
        """(source, target) of the .pyi stub of each module that has one."""
        pairs = []
        for ext in self.extensions:
            source = os.path.join(*ext.name.split(".")) + ".pyi"
            if os.path.isfile(source):
                target = os.path.join(
                    os.path.dirname(self.get_ext_fullpath(ext.name)),
                    os.path.basename(source),
                )
                pairs.append((source, target))
        return pairs

    def run(self) -> None:
        super().run()
        for source, target in self.stubs():
            # In place, the stub already lies beside the module.
            if os.path.abspath(source) != os.path.abspath(target):
                self.copy_file(source, target)

    def get_outputs(self) -> list:
        return super().get_outputs() + [target for _, target in self.stubs()]


class InstallLib(install_lib):
    """Install what this build made, not every file of the build folder.

    The build folder may still hold files that an earlier build of another
    configuration left there (such as copies of the stand-ins); copying the
    whole folder, as install_lib does, would put them into the wheel.
    """

    def install(self) -> list:
        installed = []
        for built in self.get_finalized_command("build_ext").get_outputs():
            target = os.path.join(
                self.install_dir, os.path.relpath(built, self.build_dir)
            )
            self.mkpath(os.path.dirname(target))
            self.copy_file(built, target)
            installed.append(target)
        return installed


define_macros = []
if switched_on("TARVIK_GENERAL_READER"):
    define_macros.append(("TARVIK_GENERAL_READER", "1"))
if switched_on("TARVIK_STACK_FALLBACK"):
    define_macros.append(("TARVIK_STACK_FALLBACK", "1"))
if switched_on("TARVIK_COUNT_PATHS"):
    define_macros.append(("TARVIK_COUNT_PATHS", "1"))

control = Extension(
    "tarvik.safety.control",
    sources=sorted(glob("tarvik/safety/control/*.cpp")),
    depends=sorted(glob("tarvik/safety/control/*.hpp")) + [NAMESPACE],
    language="c++",
    define_macros=define_macros,
)

if __name__ == "__main__":
    setup(
        ext_modules=[control],
        cmdclass={"build_ext": BuildExt, "install_lib": InstallLib},
    )
