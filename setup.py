"""Build of the C++ extension module tarvik.safety.control.

Everything else about the project is in pyproject.toml.  Set TARVIK_SANITIZE=1
to build with AddressSanitizer and UndefinedBehaviorSanitizer (used by
scripts/sanitize.sh; such a build needs the sanitizer runtimes preloaded).
"""

import os
from glob import glob

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

CXX_FLAGS = [
    "-std=c++17", "-Wall", "-Wextra", "-Werror", "-fvisibility=hidden",
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


class BuildExt(build_ext):
    """build_ext that keeps the interpreter's C-only flags away from g++."""

    def build_extensions(self) -> None:
        for attr in ("compiler", "compiler_so", "compiler_cxx", "linker_so"):
            command = getattr(self.compiler, attr, None)
            if isinstance(command, list):
                setattr(
                    self.compiler,
                    attr,
                    [flag for flag in command if flag not in C_ONLY_FLAGS],
                )
        super().build_extensions()


extra_compile_args = list(CXX_FLAGS)
extra_link_args = []
if os.environ.get("TARVIK_SANITIZE", "") not in ("", "0"):
    extra_compile_args += SANITIZE_FLAGS
    extra_link_args += SANITIZE_FLAGS

control = Extension(
    "tarvik.safety.control",
    sources=sorted(glob("tarvik/safety/control/*.cpp")),
    depends=sorted(glob("tarvik/safety/control/*.hpp")),
    language="c++",
    extra_compile_args=extra_compile_args,
    extra_link_args=extra_link_args,
)

setup(ext_modules=[control], cmdclass={"build_ext": BuildExt})
