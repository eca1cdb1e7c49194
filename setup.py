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
  TARVIK_COUNT_PATHS=1
                     count the calls the fast reader leaves undecided and the
                     mappings whose keys it lists, read by the module's
                     _path_counts() (counts.hpp; used by scripts/counting.sh)
  TARVIK_FUZZ=1      build for the fuzzer: the sanitizers of TARVIK_SANITIZE
                     and libFuzzer's coverage of every edge and comparison
                     (clang only, CC=clang CXX=clang++; used by
                     scripts/fuzz.sh, which preloads atheris's runtimes)
"""

import json
import marshal
import os
from glob import glob

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install_lib import install_lib

CXX_FLAGS = [
    "-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden",
    # Nothing in the module throws. Without exception tables, the forced
    # unwind that ends a daemon thread at interpreter shutdown passes through
    # our frames instead of running destructors (or std::terminate) there.
    "-fno-exceptions",
]
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


def generate_namespace_code(build_temp: str) -> str:
    """Compile the module's namespace (namespace.py) into a C array of its
    marshalled code object, beside its text (namespace_code.h, in a folder
    of the build), which the module runs at its initialisation; return that
    folder."""
    with open(NAMESPACE, encoding="utf-8") as handle:
        source = handle.read()
    code = compile(source, "<tarvik.safety.control>", "exec", dont_inherit=True)
    data = marshal.dumps(code)
    lines = [", ".join(str(byte) for byte in data[i:i + 16])
             for i in range(0, len(data), 16)]
    text = ("// Made by setup.py from {}: its text, and its code marshalled."
            "\nstatic const char namespace_source[] = {};\n"
            "static const unsigned char namespace_code[] = {{\n    {},\n}};\n"
            ).format(NAMESPACE, json.dumps(source), ",\n    ".join(lines))
    folder = os.path.join(build_temp, "generated")
    path = os.path.join(folder, "namespace_code.h")
    os.makedirs(folder, exist_ok=True)
    old = None
    if os.path.exists(path):
        with open(path, encoding="utf-8") as handle:
            old = handle.read()
    if old != text:  # an unchanged header leaves the objects up to date
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
    return folder


class BuildExt(build_ext):
    """build_ext that keeps the interpreter's C-only flags away from g++ and
    puts each module's stub beside it."""

    def build_extensions(self) -> None:
        include = generate_namespace_code(self.build_temp)
        for ext in self.extensions:
            ext.include_dirs.append(include)
        for attr in ("compiler", "compiler_so", "compiler_cxx", "linker_so"):
            command = getattr(self.compiler, attr, None)
            if isinstance(command, list):
                setattr(
                    self.compiler,
                    attr,
                    [flag for flag in command if flag not in C_ONLY_FLAGS],
                )
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


extra_compile_args = list(CXX_FLAGS)
extra_link_args = []
define_macros = []
if switched_on("TARVIK_WERROR"):
    extra_compile_args.append("-Werror")
if switched_on("TARVIK_FUZZ"):
    extra_compile_args += FUZZ_FLAGS
    extra_link_args += FUZZ_FLAGS
elif switched_on("TARVIK_SANITIZE"):
    extra_compile_args += SANITIZE_FLAGS
    extra_link_args += SANITIZE_FLAGS
if switched_on("TARVIK_GENERAL_READER"):
    define_macros.append(("TARVIK_GENERAL_READER", "1"))
if switched_on("TARVIK_COUNT_PATHS"):
    define_macros.append(("TARVIK_COUNT_PATHS", "1"))

control = Extension(
    "tarvik.safety.control",
    sources=sorted(glob("tarvik/safety/control/*.cpp")),
    depends=sorted(glob("tarvik/safety/control/*.hpp")) + [NAMESPACE],
    language="c++",
    define_macros=define_macros,
    extra_compile_args=extra_compile_args,
    extra_link_args=extra_link_args,
)

setup(
    ext_modules=[control],
    cmdclass={"build_ext": BuildExt, "install_lib": InstallLib},
)
