# Build, check and try out tarvik.safety.control.  Run `make help` for the
# targets.  Python tools come from the Package Index into a virtual
# environment per CPython version, .venv/VERSION/ (scripts/venv.sh, the
# groups of pyproject.toml); the Debian packages the rest needs install on
# first use (scripts/deps.sh; without root, make names them and stops).

# The CPython version a target builds and runs with, and the versions that
# test-versions, dist and .ci/run go through.
PY ?= 3.11
PYTHONS ?= 3.11 3.12 3.13 3.14 3.15

# Goals that run on the host whatever PY names (they run others per version).
HOST_GOALS := help sid deps setup-arches test-versions test-packaging-versions \
	dist clean format format-check
# A version this machine lacks (pyenv stops at 3.13 here) runs in the Debian
# sid chroot of scripts/sid.sh, which has Debian's 3.14 and 3.15: each goal
# on the command line is made there, with the same variables.
# Only the versions the chroot has go there; another missing one stops with
# scripts/find_python.sh's message.
SID_VERSIONS := 3.14 3.15
ifeq ($(TARVIK_IN_SID),)
ifneq ($(filter $(PY),$(SID_VERSIONS)),)
ifneq ($(filter-out $(HOST_GOALS),$(or $(MAKECMDGOALS),help)),)
ifeq ($(shell scripts/find_python.sh --quiet $(PY)),)
IN_SID := yes
endif
endif
endif
endif

ifeq ($(IN_SID),yes)
.PHONY: $(MAKECMDGOALS)
$(MAKECMDGOALS):
	scripts/sid.sh make $(PY) $@ $(MAKEOVERRIDES)
else

VENV := .venv/$(PY)
PYTHON := $(abspath $(VENV))/bin/python
DEV := $(VENV)/.dev
PEERS := $(VENV)/.peers
FUZZ := $(VENV)/.fuzz
CLANG_FORMAT ?= $(VENV)/bin/clang-format
# The version whose environment holds the cross tools (the cross group).
TOOLS_PY ?= 3.11
CROSS := .venv/$(TOOLS_PY)/.cross
ZIG ?= $(abspath .venv/$(TOOLS_PY))/lib/python$(TOOLS_PY)/site-packages/ziglang/zig

CXX_SOURCES := $(sort $(wildcard tarvik/safety/control/*.cpp tarvik/safety/control/*.hpp))
DEB_PACKAGES := g++ make
BENCH_INSTRUCTIONS_PACKAGES := valgrind
# clang builds the module for the fuzzer; llvm's symbolizer names the lines
# of a sanitizer's report.
FUZZ_PACKAGES := clang libclang-rt-dev llvm
# How long make fuzz runs, in seconds, and libFuzzer's seed (0: a new one).
FUZZ_SECONDS ?= 600
FUZZ_SEED ?= 0

# The CPython headers make compile-check compiles against: the venv's own
# and 3.14's, from the Debian chroot of scripts/sid.sh.
COMPILE_CHECK_HEADERS ?= $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])') \
	$(shell scripts/sid.sh root)/usr/include/python3.14

# The project's own builds treat compiler warnings as errors (read by
# setup.py); a user's pip install only shows them.
export TARVIK_WERROR ?= 1
# A folder that `make dist` filled: the packaging tests install from it.
export TARVIK_DIST ?=

# The processors besides this one that make test-arches runs the suite on
# (scripts/arches.sh), and its suites: -general, without the fast reader.
ARCHES := i386 arm64 s390x
ARCH_SUITES ?= i386 i386-general arm64 s390x

# $(call apt_ensure,PACKAGES): install those of PACKAGES that are missing
# (apt-get update once, only when something is missing); without root, name
# them and stop (scripts/deps.sh; $@ is the target to run as root).
define apt_ensure
	@scripts/deps.sh $@ $(1)
endef

# $(call each_version,TARGET): make TARGET under every version of PYTHONS,
# each even when an earlier one failed; fails if any did.
define each_version
	@status=0; for version in $(PYTHONS); do \
		echo "=== make $(1) PY=$$version"; \
		$(MAKE) --no-print-directory $(1) PY=$$version || status=1; \
	done; exit $$status
endef

sid:
	scripts/sid.sh ensure

.PHONY: help sid deps venv build demo test test-versions test-packaging \
	test-packaging-versions test-general test-debug sanitize coverage fuzz dist bench \
	bench-instructions test-peers bench-peers format format-check clean wheel \
	test-stack-fallback compile-check setup-arches test-arches

help:
	@echo "Each target runs under CPython \$$PY (default 3.11): make test PY=3.13"
	@echo "make deps          install the Debian packages the project needs"
	@echo "make venv          .venv/\$$PY/ with the project's tools from the Package Index"
	@echo "make build         build the extension in place (tarvik/safety/)"
	@echo "make demo          build, then run examples/demo.py"
	@echo "make test          build, run the suite except the packaging tests, then again without the fast reader,"
	@echo "                   then the fast reader's path counts (scripts/counting.sh)"
	@echo "make test-versions make test under each of \$$PYTHONS ($(PYTHONS))"
	@echo "make test-packaging  build, then run the packaging tests (venvs, pip, sdist, wheels)"
	@echo "make test-packaging-versions  make test-packaging under each of \$$PYTHONS"
	@echo "make test-general  build without the fast reader (build/general-\$$PY/), whole suite run"
	@echo "make test-debug    build for Debian's debug CPython \$$PY (pythonX.Y-dbg) in build/debug-\$$PY/,"
	@echo "                   suite run against it (packaging aside)"
	@echo "make sanitize      ASan+UBSan build in build/asan-\$$PY/, whole suite run against it"
	@echo "make test-stack-fallback  build with the portable stack bound (build/stack-fallback-\$$PY/),"
	@echo "                   run the re-entry tests against it"
	@echo "make compile-check compile the C++ for macOS (arm64, x86_64) and Windows (x64) with zig,"
	@echo "                   warnings as errors, against \$$COMPILE_CHECK_HEADERS (the venv's, 3.14's)"
	@echo "make coverage      --coverage build in build/coverage-\$$PY/, whole suite run, gcovr figures"
	@echo "make fuzz          clang+libFuzzer+ASan+UBSan build in build/fuzz-\$$PY/, differential fuzzing"
	@echo "                   for \$$FUZZ_SECONDS ($(FUZZ_SECONDS)) under atheris (FUZZ_SEED=N, FUZZ_ARGS=...)"
	@echo "make dist          the sdist once, and from it the manylinux wheels (x86_64, aarch64) of"
	@echo "                   each of \$$PYTHONS, in dist/, checked by auditwheel (make -j2 dist: two at once)"
	@echo "make bench         build, then run bench/bench.py"
	@echo "make bench-instructions  build, then count instructions per call (callgrind)"
	@echo "make test-peers    install the peers (pydantic, msgspec, JSON Schema), check they agree"
	@echo "make bench-peers   test-peers, then time and count the module beside the peers"
	@echo "make setup-arches  as root, once: cross compilers, qemu, Debian's python3 of \$$ARCHES ($(ARCHES))"
	@echo "make test-arches   build for each of \$$ARCH_SUITES ($(ARCH_SUITES)) and run the suite there"
	@echo "make test-arch-S   the same for one suite S"
	@echo "make format        clang-format the C++ sources in place"
	@echo "make format-check  fail if the C++ sources are not clang-formatted"
	@echo "make sid           the Debian sid chroot (once per machine, root) where 3.14 and 3.15"
	@echo "                   run when pyenv lacks them (scripts/sid.sh); make PY=3.14 GOAL uses it"
	@echo "make clean         remove build products (not the venvs: rm -rf .venv)"

deps:
	$(call apt_ensure,$(DEB_PACKAGES))

# A version's environment is made anew when pyproject.toml changes.
.venv/%/.dev: pyproject.toml scripts/venv.sh
	scripts/venv.sh $* dev

# The validators the benchmark sets beside the module, in the same
# environment; nothing else needs them.
.venv/%/.peers: pyproject.toml scripts/venv.sh
	scripts/venv.sh $* peers

# zig and auditwheel: make compile-check (which imports setup.py) compiles
# with zig for macOS and Windows; make dist links the wheels with it, from
# the environment of TOOLS_PY (zig is one static program, which the sid
# chroot runs too).
.venv/%/.cross: pyproject.toml scripts/venv.sh .venv/%/.dev
	scripts/venv.sh $* cross

# The fuzzer (atheris), in the same environment as the suite it borrows from.
.venv/%/.fuzz: pyproject.toml scripts/venv.sh .venv/%/.dev
	scripts/venv.sh $* fuzz

venv: $(DEV)

build: deps $(DEV)
	$(PYTHON) setup.py build_ext --inplace

demo: build
	$(PYTHON) examples/demo.py

# The quick loop: everything but the packaging tests (venvs, pip installs,
# the sdist and wheels, which test-packaging runs), against the in-place
# build and then against a build without the fast reader, so that both
# halves of each reader operation are tested; then the counting build shows
# the fast reader deciding the calls it is meant to. Last, one line names
# the checks it left out and how to run them.
test: build
	$(PYTHON) -m pytest -m "not packaging"
	PYTHON="$(PYTHON)" scripts/general.sh -m "not packaging"
	PYTHON="$(PYTHON)" scripts/counting.sh -q
	@left="the format check (make format-check)"; \
	if [ ! -e $(PEERS) ]; then \
		left="the peers' agreement, not installed (make test-peers); $$left"; \
	fi; \
	echo "make test left out: $$left"

test-versions:
	$(call each_version,test)

test-packaging: build
	$(PYTHON) -m pytest -m packaging

test-packaging-versions:
	$(call each_version,test-packaging)

test-general: deps $(DEV)
	PYTHON="$(PYTHON)" scripts/general.sh

# A debug interpreter (Py_DEBUG): Debian's pythonX.Y-dbg, on the host for
# its own version, in the sid chroot for 3.14.
DEBUG_VENV := .venv/$(PY)-dbg
test-debug: deps
	$(call apt_ensure,python$(PY)-dbg python$(PY)-venv)
	@$(MAKE) --no-print-directory $(DEBUG_VENV)/.dev
	PYTHON="$(abspath $(DEBUG_VENV))/bin/python" scripts/debug.sh

# The stack bound of platforms without an interface of their own, on Linux.
test-stack-fallback: deps $(DEV)
	PYTHON="$(PYTHON)" scripts/stack_fallback.sh

compile-check: $(DEV) $(VENV)/.cross
	@scripts/sid.sh ensure
	$(PYTHON) scripts/compile_check.py $(COMPILE_CHECK_HEADERS)

sanitize: deps $(DEV)
	PYTHON="$(PYTHON)" scripts/sanitize.sh

coverage: deps $(DEV)
	PYTHON="$(PYTHON)" scripts/coverage.sh

# FUZZ_ARGS: libFuzzer's own arguments instead of the timed run, such as a
# crash file to run it again (docs/maintaining.md).
fuzz: deps $(DEV) $(FUZZ)
	$(call apt_ensure,$(FUZZ_PACKAGES))
	PYTHON="$(PYTHON)" FUZZ_SECONDS="$(FUZZ_SECONDS)" FUZZ_SEED="$(FUZZ_SEED)" \
		scripts/fuzz.sh $(FUZZ_ARGS)

# One sdist; from it, each version's manylinux wheels for x86_64 and aarch64
# (scripts/wheel.sh; two versions at a time under make -j2), which
# auditwheel must find consistent with manylinux_2_17; and the stand-ins'
# wheel, for the packaging tests.
dist: deps $(DEV) $(CROSS)
	rm -rf dist build/wheel-headers
	$(PYTHON) -m build --sdist --outdir dist .
	$(PYTHON) -m build --wheel --outdir dist standins
	@$(MAKE) --no-print-directory $(addprefix wheel-,$(PYTHONS))
	$(abspath .venv/$(TOOLS_PY))/bin/python scripts/check_wheels.py dist
	@ls dist

wheel-%:
	@$(MAKE) --no-print-directory wheel PY=$* ZIG=$(ZIG)

# One version's wheels, from the sdist that make dist put in dist/.
wheel: deps $(DEV)
	PYTHON="$(PYTHON)" ZIG="$(ZIG)" scripts/wheel.sh

bench: build
	$(PYTHON) bench/bench.py

bench-instructions: build
	$(call apt_ensure,$(BENCH_INSTRUCTIONS_PACKAGES))
	$(PYTHON) bench/instructions.py

# Each peer accepts and refuses what the module does (tests/test_peers.py,
# which skips itself where the peers are not installed).
test-peers: build $(PEERS)
	$(PYTHON) -m pytest tests/test_peers.py

bench-peers: test-peers
	$(call apt_ensure,$(BENCH_INSTRUCTIONS_PACKAGES))
	$(PYTHON) bench/bench.py --peers
	$(PYTHON) bench/instructions.py --peers

# Each architecture's root of Debian's python3, its cross compiler and
# emulator (as root; scripts/arches.sh names what is missing otherwise).
setup-arches:
	@for arch in $(ARCHES); do scripts/arches.sh setup $$arch || exit 1; done

# Every suite of ARCH_SUITES, each even when an earlier one failed.
test-arches:
	@status=0; for suite in $(ARCH_SUITES); do \
		echo "=== make test-arch-$$suite"; \
		$(MAKE) --no-print-directory test-arch-$$suite || status=1; \
	done; exit $$status

test-arch-%:
	scripts/arches.sh test $*

format: $(DEV)
	$(CLANG_FORMAT) -i $(CXX_SOURCES)

format-check: $(DEV)
	$(CLANG_FORMAT) --dry-run --Werror $(CXX_SOURCES)

clean:
	rm -rf build dist *.egg-info .pytest_cache .hypothesis
	rm -rf standins/build standins/*.egg-info
	rm -f tarvik/safety/control.*.so
	find . -name __pycache__ -type d -prune -exec rm -rf {} +

endif
