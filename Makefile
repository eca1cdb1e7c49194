# Build, check and try out tarvik.safety.control.  Run `make help` for the
# targets.  Everything installs what it needs (Debian packages) on first use;
# without root, make names the missing packages and stops.

PYTHON ?= /usr/bin/python3
CLANG_FORMAT ?= clang-format

CXX_SOURCES := $(sort $(wildcard tarvik/safety/control/*.cpp tarvik/safety/control/*.hpp))
DEB_PACKAGES := g++ make python3-dev python3-setuptools python3-wheel \
	python3-venv python3-pytest python3-hypothesis python3-mypy
FORMAT_PACKAGES := clang-format
BENCH_INSTRUCTIONS_PACKAGES := valgrind
COVERAGE_PACKAGES := gcovr

# The project's own builds treat compiler warnings as errors (read by
# setup.py); a user's pip install only shows them.
export TARVIK_WERROR ?= 1

# $(call apt_ensure,PACKAGES): install those of PACKAGES that are missing
# (apt-get update once, only when something is missing); without root, name
# them and stop (scripts/deps.sh; $@ is the target to run as root).
define apt_ensure
	@scripts/deps.sh $@ $(1)
endef

.PHONY: help deps build demo test test-packaging test-general sanitize coverage \
	bench bench-instructions format format-check format-deps clean

help:
	@echo "make deps          install the Debian packages the project needs"
	@echo "make build         build the extension in place (tarvik/safety/)"
	@echo "make demo          build, then run examples/demo.py"
	@echo "make test          build, then run the pytest suite except the packaging tests"
	@echo "make test-packaging  build, then run the packaging tests (venvs, pip, sdist)"
	@echo "make test-general  build without the fast reader (build/general/), whole suite run"
	@echo "make sanitize      ASan+UBSan build in build/asan/, whole suite run against it"
	@echo "make coverage      --coverage build in build/coverage/, whole suite run, gcovr figures"
	@echo "make bench         build, then run bench/bench.py"
	@echo "make bench-instructions  build, then count instructions per call (callgrind)"
	@echo "make format        clang-format the C++ sources in place"
	@echo "make format-check  fail if the C++ sources are not clang-formatted"
	@echo "make clean         remove build products"

deps:
	$(call apt_ensure,$(DEB_PACKAGES))

build: deps
	$(PYTHON) setup.py build_ext --inplace

demo: build
	$(PYTHON) examples/demo.py

# The quick loop: everything but the packaging tests (about a minute of
# venvs, pip installs and an sdist), which test-packaging runs.
test: build
	$(PYTHON) -m pytest -m "not packaging"

test-packaging: build
	$(PYTHON) -m pytest -m packaging

test-general: deps
	PYTHON="$(PYTHON)" scripts/general.sh

sanitize: deps
	PYTHON="$(PYTHON)" scripts/sanitize.sh

coverage: deps
	$(call apt_ensure,$(COVERAGE_PACKAGES))
	PYTHON="$(PYTHON)" scripts/coverage.sh

bench: build
	$(PYTHON) bench/bench.py

bench-instructions: build
	$(call apt_ensure,$(BENCH_INSTRUCTIONS_PACKAGES))
	$(PYTHON) bench/instructions.py

format: format-deps
	$(CLANG_FORMAT) -i $(CXX_SOURCES)

format-check: format-deps
	$(CLANG_FORMAT) --dry-run --Werror $(CXX_SOURCES)

format-deps:
	$(call apt_ensure,$(FORMAT_PACKAGES))
	@test -n "$(CXX_SOURCES)" || { echo "no C++ sources found" >&2; exit 1; }

clean:
	rm -rf build dist *.egg-info .pytest_cache .hypothesis
	rm -rf standins/build standins/*.egg-info
	rm -f tarvik/safety/control.*.so
	find . -name __pycache__ -type d -prune -exec rm -rf {} +
