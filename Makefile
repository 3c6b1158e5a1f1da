# korvo_mesh developer entry points. Every target sets up what it needs first
# (scripts/bootstrap.sh: CPython 3.13, .venv with the pinned tools, GoogleTest),
# and skips whatever is already up to date.
#
#   make test            C++ unit tests (ctest) and the Python tests (pytest)
#   make test-ft         the Python tests on the free-threaded interpreter (3.13t, .venv-ft)
#   make demo            install the module into .venv and run examples/demo.py
#   make test-sanitize   both test suites again under AddressSanitizer + UBSan
#   make test-tsan       the C++ unit tests under ThreadSanitizer (clang-19), stress test included
#   make bench           benchmarks against a lean Python baseline, orjson, json, a plain dict
#   make bench-instructions  instructions per call under callgrind (part of make bench)
#   make fuzz            libFuzzer harnesses, FUZZ_SECONDS each (default 60; clang-19)
#   make memcheck        the C++ unit tests under valgrind memcheck
#   make check-package   stubtest, both wheels (cp313, cp313t) repaired to manylinux,
#                        installed and imported; install from sdist
#   make clean           remove build trees (distclean: .venv and .venv-ft too)

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := test

ROOT    := $(patsubst %/,%,$(dir $(abspath $(lastword $(MAKEFILE_LIST)))))
VENV    := $(ROOT)/.venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

# The free-threaded interpreter's environment (scripts/bootstrap.sh --free-threaded).
VENV_FT := $(ROOT)/.venv-ft
PY_FT   := $(VENV_FT)/bin/python

BUILD      := $(ROOT)/build
BUILD_ASAN := $(ROOT)/build-asan
BUILD_TSAN := $(ROOT)/build-tsan
BUILD_PY   := $(ROOT)/build-py

# The venv's cmake, ninja and python come first for every recipe.
export PATH := $(VENV)/bin:$(PATH)
export PIP_DISABLE_PIP_VERSION_CHECK := 1

MODULE_SOURCES := $(shell find "$(ROOT)/mesh/src" "$(ROOT)/python" -type f) \
                  $(ROOT)/CMakeLists.txt $(ROOT)/pyproject.toml
MODULE_STAMP   := $(VENV)/.korvo-module
MODULE_STAMP_FT := $(VENV_FT)/.korvo-module

.PHONY: test demo test-sanitize test-tsan bootstrap module cxx-build cxx-build-asan cxx-build-tsan clean distclean \
        bench bench-tools bench-instructions fuzz memcheck check-package \
        bootstrap-ft module-ft test-ft package-tools

bootstrap:
	@"$(ROOT)/scripts/bootstrap.sh" --no-project

bootstrap-ft:
	@"$(ROOT)/scripts/bootstrap.sh" --free-threaded --no-project

# --- the extension module, installed into .venv ------------------------------
# Reinstalled whenever a source is newer than the last install; the CMake tree
# in build-py/ is kept, so a rebuild only recompiles what changed.
module: bootstrap
	@$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(MODULE_STAMP)"

$(MODULE_STAMP): $(MODULE_SOURCES)
	@echo "installing korvo_mesh into .venv"
	cd "$(ROOT)" && "$(PY)" -m pip install -q --no-build-isolation --no-deps \
	  -C build-dir="build-py/{wheel_tag}" .
	@touch "$@"

# The same for the free-threaded interpreter: its wheel tag (cp313-cp313t) keeps its CMake
# tree apart, and its own cmake and ninja come first on PATH.
module-ft: bootstrap-ft
	@$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(MODULE_STAMP_FT)"

$(MODULE_STAMP_FT): $(MODULE_SOURCES)
	@echo "installing korvo_mesh into .venv-ft"
	cd "$(ROOT)" && PATH="$(VENV_FT)/bin:$$PATH" "$(PY_FT)" -m pip install -q --no-build-isolation --no-deps \
	  -C build-dir="build-py/{wheel_tag}" .
	@touch "$@"

# --- C++ unit tests ----------------------------------------------------------
cxx-build: bootstrap
	@if [ ! -f "$(BUILD)/CMakeCache.txt" ]; then \
	  "$(CMAKE)" -S "$(ROOT)" -B "$(BUILD)" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVO_BUILD_TESTS=ON; \
	fi
	"$(CMAKE)" --build "$(BUILD)" -j $(JOBS)

# Runs both suites and fails if either failed.
test: cxx-build module
	@status=0; \
	"$(CTEST)" --test-dir "$(BUILD)" --output-on-failure -j $(JOBS) || status=1; \
	cd "$(ROOT)" && "$(PY)" -m pytest tests -q || status=1; \
	exit $$status

# The whole Python suite on 3.13t, where the module runs without the GIL.
test-ft: module-ft
	cd "$(ROOT)" && PATH="$(VENV_FT)/bin:$$PATH" "$(PY_FT)" -m pytest tests -q

demo: module
	cd "$(ROOT)" && "$(PY)" examples/demo.py

# --- sanitizers --------------------------------------------------------------
# One tree builds both the C++ tests and the module with ASan + UBSan. The
# interpreter itself is not instrumented, so the ASan runtime is preloaded and
# leak checking is left to the C++ tests. KORVO_SANITIZED=1 tells the Python
# tests that memory figures (RSS) are the sanitizer's, not the module's.
cxx-build-asan: bootstrap
	@if [ ! -f "$(BUILD_ASAN)/CMakeCache.txt" ]; then \
	  "$(CMAKE)" -S "$(ROOT)" -B "$(BUILD_ASAN)" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DKORVO_SANITIZE=ON -DKORVO_BUILD_TESTS=ON -DKORVO_BUILD_MODULE=ON \
	    -DPython_EXECUTABLE="$(PY)"; \
	fi
	"$(CMAKE)" --build "$(BUILD_ASAN)" -j $(JOBS)

test-sanitize: cxx-build-asan
	@status=0; \
	"$(CTEST)" --test-dir "$(BUILD_ASAN)" --output-on-failure -j $(JOBS) || status=1; \
	preload="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)"; \
	export LD_PRELOAD="$$preload" ASAN_OPTIONS=detect_leaks=0 KORVO_SANITIZED=1 \
	       UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$(BUILD_ASAN)$${PYTHONPATH:+:$$PYTHONPATH}"; \
	"$(PY)" -c 'import korvo_mesh, sys; f = korvo_mesh.__file__; \
	  sys.exit(0 if f.startswith("$(BUILD_ASAN)/") else "sanitized module not picked up: " + f)'; \
	cd "$(ROOT)" && "$(PY)" -m pytest tests -q -p no:cacheprovider || status=1; \
	exit $$status

# The C++ tests alone with ThreadSanitizer (the interpreter is not instrumented), built by clang 19
# in their own tree; clang-19 and its sanitizer runtimes (libclang-rt-19-dev) come from apt, as
# for make fuzz. The whole test binary runs as one process and the first report fails it. Reports
# are symbolized by llvm-symbolizer-19 when installed, else by binutils' addr2line.
cxx-build-tsan: bootstrap
	@. "$(ROOT)/scripts/lib.sh" && apt_install_missing clang-19 libclang-rt-19-dev
	@if [ ! -f "$(BUILD_TSAN)/CMakeCache.txt" ]; then \
	  "$(CMAKE)" -S "$(ROOT)" -B "$(BUILD_TSAN)" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_CXX_COMPILER=clang++-19 -DKORVO_SANITIZE=thread -DKORVO_BUILD_TESTS=ON; \
	fi
	"$(CMAKE)" --build "$(BUILD_TSAN)" -j $(JOBS) --target korvo_core_tests

test-tsan: cxx-build-tsan
	@symbolizer="$$(command -v llvm-symbolizer-19 || command -v addr2line)"; \
	export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stop=1:external_symbolizer_path=$$symbolizer$${TSAN_OPTIONS:+:$$TSAN_OPTIONS}"; \
	echo "TSAN_OPTIONS=$$TSAN_OPTIONS"; \
	"$(BUILD_TSAN)/korvo_core_tests" --gtest_brief=1

# --- benchmarks, fuzzing, memcheck, packaging ---------------------------------
BENCH_STAMP  := $(VENV)/.korvo-bench-tools
FUZZ_SECONDS ?= 60

# Smoke run: make bench BENCH_ARGS=--quick. Full run: 9-13 minutes on 2 busy cores.
# The threads group also runs on .venv-ft when it exists (make module-ft); its module is
# brought up to date first, so both interpreters measure the same sources.
bench: bench-tools
	@if [ -x "$(PY_FT)" ]; then $(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(MODULE_STAMP_FT)"; fi
	cd "$(ROOT)" && "$(PY)" bench/run_bench.py $(BENCH_ARGS)

# Instructions per call alone (a few minutes): make bench-instructions [BENCH_ARGS=--quick]
bench-instructions: bench-tools
	cd "$(ROOT)" && "$(PY)" bench/build_floor.py >/dev/null && "$(PY)" bench/instructions.py $(BENCH_ARGS)

bench-tools: module
	@$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(BENCH_STAMP)"
	@. "$(ROOT)/scripts/lib.sh" && apt_install_missing valgrind

$(BENCH_STAMP): $(ROOT)/bench/requirements.txt
	"$(PY)" -m pip install -q -r "$(ROOT)/bench/requirements.txt"
	@touch "$@"

fuzz: bootstrap
	JOBS=$(JOBS) "$(ROOT)/scripts/fuzz.sh" $(FUZZ_SECONDS)

memcheck: bootstrap
	JOBS=$(JOBS) "$(ROOT)/scripts/memcheck.sh"

# auditwheel (and the patchelf it drives) repairs the wheels to a manylinux tag.
PACKAGE_STAMP := $(VENV)/.korvo-package-tools

check-package: module bootstrap-ft package-tools
	"$(ROOT)/scripts/check_package.sh"

package-tools: bootstrap
	@$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(PACKAGE_STAMP)"

$(PACKAGE_STAMP): $(ROOT)/requirements-package.txt
	"$(PY)" -m pip install -q -r "$(ROOT)/requirements-package.txt"
	@touch "$@"

# --- the examples' tools -----------------------------------------------------
# The live migration (make demo) and its tests need redis-py and prometheus_client
# (requirements-examples.txt) in every environment that runs them, and redis-server from apt.
# Under these targets the example tests must run: a missing tool fails them instead of
# skipping them, as a bare `pytest tests` elsewhere does.
EXAMPLES_REQS := $(ROOT)/requirements-examples.txt

.PHONY: examples-tools examples-tools-ft

examples-tools: bootstrap
	@$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(VENV)/.korvo-examples"
	@. "$(ROOT)/scripts/lib.sh" && apt_install_missing redis-server

examples-tools-ft: bootstrap-ft
	@$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(VENV_FT)/.korvo-examples"
	@. "$(ROOT)/scripts/lib.sh" && apt_install_missing redis-server

# One stamp per environment, made again when the pins change.
%/.korvo-examples: $(EXAMPLES_REQS)
	"$*/bin/python" -m pip install -q -r "$(EXAMPLES_REQS)"
	@touch "$@"

demo test test-sanitize: examples-tools
test-ft: examples-tools-ft
test test-ft test-sanitize: export KORVO_EXAMPLES_REQUIRED := 1

# --- housekeeping ------------------------------------------------------------
clean:
	rm -rf "$(BUILD)" "$(BUILD_ASAN)" "$(BUILD_TSAN)" "$(BUILD_PY)" "$(ROOT)/build-fuzz" "$(ROOT)/build-memcheck" \
	  "$(ROOT)/bench/build" "$(ROOT)/dist" "$(ROOT)/.pytest_cache" \
	  "$(ROOT)/.hypothesis" "$(MODULE_STAMP)" "$(MODULE_STAMP_FT)"
	find "$(ROOT)/tests" "$(ROOT)/examples" -name __pycache__ -type d -prune -exec rm -rf {} + 2>/dev/null || true

distclean: clean
	rm -rf "$(VENV)" "$(VENV_FT)"
