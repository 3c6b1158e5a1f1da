# korvo_mesh developer entry points. Every target sets up what it needs first
# (scripts/bootstrap.sh: the interpreter, its environment with the pinned tools, GoogleTest),
# and skips whatever is already up to date. Every CMake build is a preset of CMakePresets.json.
#
#   make test            C++ unit tests (ctest) and the Python tests (pytest) on CPython 3.13
#   make test-all        the C++ tests once, the Python tests on every interpreter (3.13, 3.13t,
#                        3.14, 3.15, and 3.14t/3.15t when one can be found; otherwise the
#                        facade is compiled against their headers), and the aarch64 core tests
#   make test-VERSION    the Python tests on one interpreter: test-3.13t, test-3.14, test-3.15
#                        (test-ft is test-3.13t)
#   make demo            the live migration (examples/demo.py): SQLite to a private redis-server
#   make test-sanitize   both test suites again under AddressSanitizer + UBSan
#   make test-tsan       the C++ unit tests under ThreadSanitizer (clang-19), stress test included
#   make test-aarch64    the core and its C++ tests cross-built for aarch64, run under qemu-user
#   make check-headers-VERSION  the facade compiled against VERSION's headers (3.14t, 3.15t)
#   make bench           benchmarks against a lean Python baseline, orjson, json, a plain dict
#   make bench-instructions  instructions per call under callgrind (part of make bench)
#   make fuzz            libFuzzer harnesses, FUZZ_SECONDS each (default 60; clang-19)
#   make memcheck        the C++ unit tests under valgrind memcheck
#   make check-package   stubtest; a wheel per tested interpreter, repaired to manylinux,
#                        installed and imported; install from sdist
#   make clean           remove build trees (distclean: the environments too)

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := test

ROOT    := $(patsubst %/,%,$(dir $(abspath $(lastword $(MAKEFILE_LIST)))))
VENV    := $(ROOT)/.venv
PY      := $(VENV)/bin/python
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

# The interpreters, from the one table in scripts/bootstrap.sh: the ones the Python suite runs
# on, the ones checked by their headers when none can be found, and each one's environment.
PY_DEFAULT := $(shell "$(ROOT)/scripts/bootstrap.sh" --list default)
PY_TESTED  := $(shell "$(ROOT)/scripts/bootstrap.sh" --list tested)
PY_HEADERS := $(shell "$(ROOT)/scripts/bootstrap.sh" --list headers)
VENVS      := $(shell "$(ROOT)/scripts/bootstrap.sh" --venvs)
venv_of     = $(patsubst $(1)=%,%,$(filter $(1)=%,$(VENVS)))
# Runs a command in an environment, inside its Debian root when it was made in one.
RUN        := "$(ROOT)/scripts/venv_run.sh"

# The venv's cmake, ninja and python come first for every recipe.
export PATH := $(VENV)/bin:$(PATH)
export PIP_DISABLE_PIP_VERSION_CHECK := 1

MODULE_SOURCES := $(shell find "$(ROOT)/mesh/src" "$(ROOT)/python" -type f) \
                  $(ROOT)/CMakeLists.txt $(ROOT)/pyproject.toml

.PHONY: test test-all test-ft demo test-sanitize test-tsan test-aarch64 bootstrap module cxx-build \
        clean distclean bench bench-tools bench-instructions fuzz memcheck check-package

# --- interpreters and their environments ---------------------------------------
# For each interpreter: bootstrap-V (interpreter and environment), module-V (the module
# installed into the environment, rebuilt whenever a source is newer than the last install;
# its CMake tree build-py/<wheel tag> is kept, so a rebuild only recompiles what changed),
# test-V (the Python suite; the example tests must run there, not skip: KORVO_EXAMPLES_REQUIRED),
# examples-tools-V, package-tools-V (what check-package needs there) and, for the ones
# checked by their headers, check-headers-V.
define interpreter_rules
.PHONY: bootstrap-$(1) module-$(1) test-$(1) examples-tools-$(1) package-tools-$(1) check-headers-$(1)
bootstrap-$(1):
	@"$(ROOT)/scripts/bootstrap.sh" --python $(1) --no-project

module-$(1): bootstrap-$(1)
	@$$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(call venv_of,$(1))/.korvo-module"

$(call venv_of,$(1))/.korvo-module: $$(MODULE_SOURCES)
	@echo "installing korvo_mesh into $(notdir $(call venv_of,$(1)))"
	cd "$(ROOT)" && $(RUN) "$(call venv_of,$(1))" python -m pip install -q --no-build-isolation --no-deps \
	  -C build-dir="build-py/{wheel_tag}" .
	@touch "$$@"

test-$(1): module-$(1) examples-tools-$(1)
	cd "$(ROOT)" && KORVO_EXAMPLES_REQUIRED=1 $(RUN) "$(call venv_of,$(1))" python -m pytest tests -q

# The examples' tools (requirements-examples.txt) in the environment; redis-server, which the
# live migration and its tests start, comes from apt (inside a Debian root, with its packages).
examples-tools-$(1): bootstrap-$(1)
	@$$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(call venv_of,$(1))/.korvo-examples"
	@[ -f "$(call venv_of,$(1))/.korvo-root" ] || { . "$(ROOT)/scripts/lib.sh" && apt_install_missing redis-server; }

$(call venv_of,$(1))/.korvo-examples: $(ROOT)/requirements-examples.txt
	cd "$(ROOT)" && $(RUN) "$(call venv_of,$(1))" python -m pip install -q -r requirements-examples.txt
	@touch "$$@"

package-tools-$(1): bootstrap-$(1)
	@$$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(call venv_of,$(1))/.korvo-package-tools"

$(call venv_of,$(1))/.korvo-package-tools: $(ROOT)/requirements-package.txt
	cd "$(ROOT)" && $(RUN) "$(call venv_of,$(1))" python -m pip install -q -r requirements-package.txt
	@touch "$$@"

# The free-threaded build of an interpreter that cannot run here: the facade alone, compiled
# with Py_GIL_DISABLED against its base version's headers, in that version's environment.
check-headers-$(1): bootstrap-$(patsubst %t,%,$(1))
	cd "$(ROOT)" && $(RUN) "$(call venv_of,$(patsubst %t,%,$(1)))" cmake --preset facade-ft-check \
	  -B "build-facade-check/$(1)" -DKORVO_FACADE_HEADER_CHECK=python >/dev/null
	cd "$(ROOT)" && $(RUN) "$(call venv_of,$(patsubst %t,%,$(1)))" cmake --build "build-facade-check/$(1)" \
	  --target korvo_facade_check
	@echo "check-headers-$(1): the facade compiles against the $(patsubst %t,%,$(1)) headers with Py_GIL_DISABLED"
endef
$(foreach v,$(PY_TESTED) $(PY_HEADERS),$(eval $(call interpreter_rules,$(v))))

bootstrap: bootstrap-$(PY_DEFAULT)
module: module-$(PY_DEFAULT)
test-ft: test-$(PY_DEFAULT)t

# --- C++ unit tests ----------------------------------------------------------
cxx-build: bootstrap
	@[ -f "$(ROOT)/build/CMakeCache.txt" ] || cmake --preset release
	cmake --build --preset release -j $(JOBS)

# Runs both suites and the Unicode tables' freshness check, and fails if any failed.
test: cxx-build module examples-tools-$(PY_DEFAULT)
	@status=0; \
	ctest --preset release -j $(JOBS) || status=1; \
	cd "$(ROOT)" && KORVO_EXAMPLES_REQUIRED=1 "$(PY)" -m pytest tests -q || status=1; \
	"$(PY)" scripts/gen_unicode_tables.py --check || status=1; \
	exit $$status

# Every interpreter: the ones that can be had are tested; of the ones that are only checked
# by their headers when missing, a found one is tested too. Then the core on aarch64.
test-all: test $(addprefix test-,$(filter-out $(PY_DEFAULT),$(PY_TESTED)))
	@for v in $(PY_HEADERS); do \
	  if "$(ROOT)/scripts/bootstrap.sh" --probe "$$v" >/dev/null; then \
	    $(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "test-$$v"; \
	  else \
	    echo "test-all: no CPython $$v here: compiling the facade against its headers instead"; \
	    $(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "check-headers-$$v"; \
	  fi; \
	done
	@$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" test-aarch64

# The live migration: the shop's carts move from SQLite to a private redis-server under traffic.
demo: module examples-tools-$(PY_DEFAULT)
	cd "$(ROOT)" && "$(PY)" examples/demo.py

# --- sanitizers --------------------------------------------------------------
# One tree builds both the C++ tests and the module with ASan + UBSan. The
# interpreter itself is not instrumented, so the ASan runtime is preloaded and
# leak checking is left to the C++ tests. KORVO_SANITIZED=1 tells the Python
# tests that memory figures (RSS) are the sanitizer's, not the module's.
test-sanitize: bootstrap examples-tools-$(PY_DEFAULT)
	@[ -f "$(ROOT)/build-asan/CMakeCache.txt" ] || cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	@status=0; \
	ctest --preset asan -j $(JOBS) || status=1; \
	preload="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)"; \
	export LD_PRELOAD="$$preload" ASAN_OPTIONS=detect_leaks=0 KORVO_SANITIZED=1 KORVO_EXAMPLES_REQUIRED=1 \
	       UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$(ROOT)/build-asan$${PYTHONPATH:+:$$PYTHONPATH}"; \
	"$(PY)" -c 'import korvo_mesh, sys; f = korvo_mesh.__file__; \
	  sys.exit(0 if f.startswith("$(ROOT)/build-asan/") else "sanitized module not picked up: " + f)'; \
	cd "$(ROOT)" && "$(PY)" -m pytest tests -q -p no:cacheprovider || status=1; \
	exit $$status

# The C++ tests alone with ThreadSanitizer (the interpreter is not instrumented), built by clang 19
# in their own tree; clang-19 and its sanitizer runtimes (libclang-rt-19-dev) come from apt, as
# for make fuzz. The whole test binary runs as one process and the first report fails it. Reports
# are symbolized by llvm-symbolizer-19 when installed, else by binutils' addr2line.
test-tsan: bootstrap
	@. "$(ROOT)/scripts/lib.sh" && apt_install_missing clang-19 libclang-rt-19-dev
	@[ -f "$(ROOT)/build-tsan/CMakeCache.txt" ] || cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	@symbolizer="$$(command -v llvm-symbolizer-19 || command -v addr2line)"; \
	export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stop=1:external_symbolizer_path=$$symbolizer$${TSAN_OPTIONS:+:$$TSAN_OPTIONS}"; \
	echo "TSAN_OPTIONS=$$TSAN_OPTIONS"; \
	"$(ROOT)/build-tsan/korvo_core_tests" --gtest_brief=1

# --- the core on aarch64 -----------------------------------------------------
# Debian's cross toolchain builds the core and its tests (GoogleTest from the sources that
# libgtest-dev carries); qemu-user runs the test program, with the toolchain's C library, as
# one process.
test-aarch64: bootstrap
	@. "$(ROOT)/scripts/lib.sh" && apt_install_missing g++-aarch64-linux-gnu qemu-user
	@[ -f "$(ROOT)/build-aarch64/CMakeCache.txt" ] || cmake --preset aarch64
	cmake --build --preset aarch64 -j $(JOBS)
	qemu-aarch64 -L /usr/aarch64-linux-gnu "$(ROOT)/build-aarch64/korvo_core_tests" --gtest_brief=1

# --- benchmarks, fuzzing, memcheck, packaging ---------------------------------
BENCH_STAMP  := $(VENV)/.korvo-bench-tools
FUZZ_SECONDS ?= 60

# Smoke run: make bench BENCH_ARGS=--quick. Full run: 5-13 minutes on 2 cores (longer when they are busy).
# The threads group also runs on 3.13t when its environment exists (make module-3.13t); its
# module is brought up to date first, so both interpreters measure the same sources.
bench: bench-tools
	@if [ -x "$(call venv_of,$(PY_DEFAULT)t)/bin/python" ]; then \
	  $(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(call venv_of,$(PY_DEFAULT)t)/.korvo-module"; fi
	cd "$(ROOT)" && "$(PY)" bench/run_bench.py $(BENCH_ARGS)

# Instructions per call alone (a few minutes): make bench-instructions [BENCH_ARGS=--quick]
bench-instructions: bench-tools
	cd "$(ROOT)" && "$(PY)" bench/build_floor.py >/dev/null && "$(PY)" bench/instructions.py $(BENCH_ARGS)

bench-tools: module
	@$(MAKE) --no-print-directory -f "$(ROOT)/Makefile" "$(BENCH_STAMP)"
	@. "$(ROOT)/scripts/lib.sh" && apt_install_missing valgrind libsimdjson-dev

$(BENCH_STAMP): $(ROOT)/bench/requirements.txt
	"$(PY)" -m pip install -q -r "$(ROOT)/bench/requirements.txt"
	@touch "$@"

fuzz: bootstrap
	JOBS=$(JOBS) "$(ROOT)/scripts/fuzz.sh" $(FUZZ_SECONDS)

memcheck: bootstrap
	JOBS=$(JOBS) "$(ROOT)/scripts/memcheck.sh"

# A wheel for every tested interpreter, each built, repaired (auditwheel and its patchelf)
# and tried where its interpreter runs.
check-package: module $(addprefix package-tools-,$(PY_TESTED))
	"$(ROOT)/scripts/check_package.sh" $(foreach v,$(PY_TESTED),"$(call venv_of,$(v))")

# --- housekeeping ------------------------------------------------------------
clean:
	rm -rf "$(ROOT)"/build "$(ROOT)"/build-* "$(ROOT)/bench/build" "$(ROOT)/dist" "$(ROOT)/.pytest_cache" \
	  "$(ROOT)/.hypothesis" $(foreach v,$(PY_TESTED) $(PY_HEADERS),"$(call venv_of,$(v))/.korvo-module")
	find "$(ROOT)/tests" "$(ROOT)/examples" -name __pycache__ -type d -prune -exec rm -rf {} + 2>/dev/null || true

distclean: clean
	rm -rf $(foreach v,$(PY_TESTED) $(PY_HEADERS),"$(call venv_of,$(v))")
