# make demo   set up everything on a fresh machine, run the test on the bundled real data
# make test   set up everything on a fresh machine, build, run every test
# make docs   the documentation site in build/docs (offline); make test-docs also checks it in Chromium
# make test-platforms   also build and test with Clang, for aarch64 (qemu), compile for macOS/Windows (zig)
VENV    := .venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest
NATIVE  := build/native
JOBS    ?= 2
# Every pytest run: quiet, no cache in the tree, on $(JOBS) worker processes.
PYTEST  := -m pytest -q -p no:cacheprovider -n $(JOBS)

# Every build tree is configured from one definition, CMakePresets.json
# (`$(CONFIGURE) PRESET [-B DIR] [-D...]`), with the venv's cmake and ninja;
# tools/ and tools/test_platforms.sh configure through the same presets.
CONFIGURE = PATH=$(abspath $(VENV)/bin):$$PATH $(CMAKE) -DPython_EXECUTABLE=$(abspath $(PY)) --preset
# Compilations are cached outside the clone (ccache, installed by setup), so
# that a fresh clone, CI's among them, recompiles only what changed: CMake
# takes the launcher from the environment in every tree it configures, the
# wheel's and the platform stages' included. Paths are rewritten relative to
# the clone, whatever folder it is in.
export LARKSPUR_CACHE ?= /var/cache/larkspur
export CCACHE_DIR ?= $(LARKSPUR_CACHE)/ccache
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
export CMAKE_CXX_COMPILER_LAUNCHER ?= ccache

.PHONY: all check format format-check setup docs-setup docs docs-check test-docs native native-test install python-test typecheck numerics-check cr-check hwcaps-check wheel wheel-test bench bench-smoke asan lsan fuzz properties stress tsan valgrind numpy1 demo test test-platforms test-aarch64-full test-aarch64-cp314 test-aarch64-free-threaded test-free-threaded test-free-threaded-tsan glibc-floor bench-free-threaded clean

all: test

setup:
	@tools/setup.sh

native: setup
	$(CONFIGURE) native >/dev/null
	$(CMAKE) --build $(NATIVE) -j $(JOBS)

native-test: native
	$(CTEST) --test-dir $(NATIVE) --output-on-failure -j $(JOBS)

# Installs into .venv the very wheel users get (`make wheel`: built by
# scikit-build-core, repaired by auditwheel), so that the suite, the type
# check, the docs and the benchmarks all run against one Release build of
# the product; build/native adds only the native suites and test-only modules.
install: wheel
	$(PY) -m pip install --quiet --disable-pip-version-check --no-deps --force-reinstall dist/larkspur-*manylinux*.whl

python-test: native install
	$(PY) $(PYTEST) tests/python

# The typed example and the installed companion package must pass mypy
# --strict, and so must the file of expected errors (each of its ignores must
# be used); the misuse example must not.
typecheck: install
	cd build && ../$(VENV)/bin/mypy --strict --no-incremental ../examples/typed_usage.py ../tests/typing/expected_errors.py
	cd build && ../$(VENV)/bin/mypy --strict --no-incremental -p larkspur_tools
	@if cd build && ../$(VENV)/bin/mypy --strict --no-incremental ../tests/typing/assignment_rejected.py >/dev/null; then \
	    echo "mypy accepted an assignment to a read-only result attribute"; exit 1; fi

# The project's own correctly rounded exp and log against mpmath at 256 bits
# (hard cases, special values, random arguments over the whole domain; the
# derived d's rule), the generated tables regenerated bit for bit, the
# chi-squared upper tail against mpmath (largest error in ulps), and the
# same bits with glibc's FMA/AVX2/AVX-512 code paths switched off. make test
# runs lean samples; cr-check (10^7 arguments, a few minutes on two cores)
# and hwcaps-check (100,000 series) are the long runs.
numerics-check: native install
	$(PY) tools/gen_exp_log_tables.py --check
	$(PY) tools/cr_check.py --count 20000 --jobs $(JOBS)
	$(PY) tools/chi2_tail_check.py --count 2000 --jobs $(JOBS)
	$(PY) tools/hwcaps_check.py --series 2000

cr-check: native
	$(PY) tools/cr_check.py --count 10000000 --jobs $(JOBS)

hwcaps-check: install
	$(PY) tools/hwcaps_check.py --series 100000

# The wheel users install (tools/build_wheel.sh: scikit-build-core with the
# wheel's link settings, in a build tree of its own so that it does not toggle
# build/native's, then auditwheel's repair for manylinux_2_28 or older).
WHEEL_RAW := build/wheel-raw
wheel: setup
	rm -rf dist
	PATH=$(abspath $(VENV)/bin):$$PATH tools/build_wheel.sh $(PY) $(WHEEL_RAW) dist -C build-dir=build/wheel-tree/{wheel_tag}

# The repaired wheel, installed into a fresh virtual environment with none of
# the extras (only NumPy and pytest beside it): its files are complete, the
# optional dependencies are optional (the calls that need one name its
# extra), and the extension's surface is whole. The full suite runs against
# the same wheel in .venv (python-test).
WHEEL_CHECK := build/wheel-check
wheel-test: native wheel
	rm -rf $(WHEEL_CHECK)
	$(PY) -m venv $(WHEEL_CHECK)
	$(WHEEL_CHECK)/bin/python -m pip install --quiet --disable-pip-version-check dist/larkspur-*manylinux*.whl pytest pytest-xdist
	cd $(WHEEL_CHECK) && bin/python $(PYTEST) $(abspath tests/python/test_without_extras.py) \
	    $(abspath tests/python/test_module_surface.py)

# The developer's loop: one test file or selection against build/native after
# a Python or C++ edit, no wheel (the build tree holds the package complete,
# its Python files linked from the source tree): make check T=tests/python/test_x.py K='name'.
check: native
	LARKSPUR_MODULE_DIR=$(abspath $(NATIVE)) $(PY) -m pytest -q -p no:cacheprovider $(if $(K),-k "$(K)") \
	    $(or $(T),tests/python)

# Benchmarks: the native kernels against the plain loop, per-call times
# against NumPy and statsmodels, the cost of each input type, many series on
# two processes (loop, Dask, joblib), el_many against the loops it replaces,
# the whole bootstrap against the plain calls it needs, larkspur-csv on a
# large file. Never part of a pass/fail test; make
# test only runs them on tiny inputs so that they keep working.
bench: native install
	$(PY) -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
	$(NATIVE)/kernel_bench
	$(PY) bench/bench.py
	$(PY) bench/inputs.py
	$(PY) bench/scale_out.py
	$(PY) bench/bootstrap.py
	$(PY) bench/cli_memory.py
	$(PY) bench/batch.py
	$(PY) bench/generalized_spectral.py

bench-smoke: native install
	$(NATIVE)/kernel_bench --quick
	$(PY) bench/bench.py --quick
	$(PY) bench/inputs.py --quick
	$(PY) bench/scale_out.py --quick
	$(PY) bench/bootstrap.py --quick
	$(PY) bench/cli_memory.py --quick
	$(PY) bench/batch.py --quick
	$(PY) bench/generalized_spectral.py --quick

# AddressSanitizer + UndefinedBehaviorSanitizer: the native tests, then the
# whole pytest suite against the sanitized extension and support modules.
ASAN_DIR := build/asan
# libstdc++ is preloaded after the ASan runtime so that its __cxa_throw
# interceptor finds the real one (python itself does not link libstdc++).
# The sanitizer environment, written once: the options of every sanitized
# run, and the interpreter's (runtimes preloaded, the modules from the tree).
ASAN_PRELOAD := $$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)
ASAN_OPTIONS_BASE := halt_on_error=1:allocator_may_return_null=1
SANITIZER_OPTIONS := ASAN_OPTIONS=detect_leaks=0:$(ASAN_OPTIONS_BASE) UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_TREE_ENV := LD_PRELOAD="$(ASAN_PRELOAD)" \
    LARKSPUR_MODULE_DIR=$(abspath $(ASAN_DIR)) LARKSPUR_SUPPORT_DIR=$(abspath $(ASAN_DIR))/python_support
ASAN_PYTHON_ENV := PYTHONMALLOC=malloc $(SANITIZER_OPTIONS) $(ASAN_TREE_ENV)
asan: setup
	$(CONFIGURE) asan >/dev/null
	$(CMAKE) --build $(ASAN_DIR) -j $(JOBS)
	$(SANITIZER_OPTIONS) $(CTEST) --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)
	$(ASAN_PYTHON_ENV) $(PY) $(PYTEST) tests/python

# LeakSanitizer over the native allocations, with the default allocator and
# only the interpreter's own leaks suppressed.
lsan: asan
	PYTHONMALLOC=pymalloc $(ASAN_TREE_ENV) ASAN_OPTIONS=detect_leaks=1:$(ASAN_OPTIONS_BASE) \
	    LSAN_OPTIONS=suppressions=$(abspath tools/lsan.supp):print_suppressions=0 \
	    PYTHONPATH=$(abspath $(ASAN_DIR)):$(abspath $(ASAN_DIR))/python_support:$(abspath tests/python) \
	    $(PY) tests/python/stress_driver.py 2000 100

# Ten minutes of libFuzzer (atheris) on the call surface with hostile Python
# objects, then the hypothesis-driven fuzzer for the same time budget.
fuzz: install native
	$(PY) -m pip install --quiet --disable-pip-version-check atheris
	cd tests/python && PYTHONPATH=$(abspath $(NATIVE))/python_support $(abspath $(PY)) fuzz_atheris.py \
	    -max_total_time=$$(( $(or $(MINUTES),10) * 60 )) -print_final_stats=1
	PYTHONPATH=$(abspath $(NATIVE))/python_support $(PY) tests/python/fuzz_call_surface.py --minutes $(or $(MINUTES),10)

# The property test with 2,000+ examples (make test runs 150, derandomized).
properties: install native
	LARKSPUR_PROPERTY_EXAMPLES=2500 $(PY) $(PYTEST) tests/python/test_properties.py

# Stress driver at full counts (figures for docs/reliability.md).
stress: install native
	PYTHONPATH=$(abspath $(NATIVE))/python_support:$(abspath tests/python) $(PY) tests/python/stress_driver.py 5000 1000

# ThreadSanitizer: the batch runner's native tests (worker threads); the
# extension, the batch module and the support modules built with TSan, the
# thread stress run once under it, then the batch module's tests against
# that build (the interpreter itself
# is not instrumented).
TSAN_DIR := build/tsan
TSAN_ENV := LD_PRELOAD="$$(gcc -print-file-name=libtsan.so) $$(gcc -print-file-name=libstdc++.so)" \
    TSAN_OPTIONS=halt_on_error=1:report_signal_unsafe=0
tsan: setup
	$(CONFIGURE) tsan >/dev/null
	$(CMAKE) --build $(TSAN_DIR) -j $(JOBS) --target larkspur _batch _borrow_participant _binding_probe batch_tests
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_DIR)/tests/native/batch_tests
	$(TSAN_ENV) PYTHONPATH=$(abspath $(TSAN_DIR)):$(abspath $(TSAN_DIR))/python_support:$(abspath tests/python) \
	    $(PY) tests/python/stress_driver.py 200 300
	$(TSAN_ENV) LARKSPUR_MODULE_DIR=$(abspath $(TSAN_DIR)) LARKSPUR_SUPPORT_DIR=$(abspath $(TSAN_DIR))/python_support \
	    $(PY) $(PYTEST) tests/python/test_el_many.py

# Memcheck over the stress driver: no invalid access, no definite leak
# beyond the interpreter's own interned strings.
valgrind: native
	PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(NATIVE))/python_support:$(abspath tests/python) \
	    valgrind --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite \
	    --suppressions=tools/valgrind-python.supp --error-exitcode=3 --num-callers=30 \
	    $(PY) tests/python/stress_driver.py 200 10

# NumPy 1.x on a CPython 3.12 build: the core and the companion against the
# NumPy 1.x C API. Not part of make test: no supported CPython (3.13 and
# newer) has a NumPy 1.x wheel, so it proves nothing a user can install.
numpy1:
	tools/numpy1_check.sh

# The demo prints its table and nothing else: the set-up and the wheel's
# build (pip, auditwheel) write to build/demo-setup.log, which is printed
# when they fail; `make demo V=1` shows everything as it happens.
DEMO_LOG := build/demo-setup.log
demo:
ifeq ($(V),1)
	$(MAKE) --no-print-directory install
else
	@mkdir -p build
	@echo "make demo: setting up and building (minutes the first time; V=1 shows it all)" >&2
	@if ! $(MAKE) --no-print-directory install >$(DEMO_LOG) 2>&1; then \
	    cat $(DEMO_LOG) >&2; echo "make demo: the set-up failed; its output is above and in $(DEMO_LOG)" >&2; exit 1; fi
endif
	@$(PY) examples/demo.py

# Formatting: clang-format (.clang-format) over the C++ and ruff (pyproject's
# [tool.ruff]) over the Python, applied by `make format`; `make format-check`
# (part of make test) fails on any file they would change and on a lint finding.
CLANG_FORMAT := clang-format-19
# The exp/log tables are generated (tools/gen_exp_log_tables.py) and checked
# against their generator, not formatted.
CXX_SOURCES = $(filter-out numerics/exp_log_tables.hpp,$(shell git ls-files '*.cpp' '*.hpp'))
format: setup
	$(CLANG_FORMAT) -i $(CXX_SOURCES)
	$(VENV)/bin/ruff format .
	$(VENV)/bin/ruff check --fix .

format-check: setup
	$(CLANG_FORMAT) --dry-run -Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/ruff check .

# The documentation site: HTML in build/docs, warnings as errors, every
# cross-reference resolved (nitpicky), the gallery's scripts run, then every
# code block of the pages and docstrings run by the doctest builder with its
# printed output compared. Nothing is fetched at build or view time: the
# formulas are typeset at build time by Debian's KaTeX, whose style sheet and
# fonts are copied into the site. docs-check opens every page in headless
# Chromium at 1400 px (tools/check_docs_browser.py: the time until the
# formulas show, the content's width, no sideways scrolling) and saves
# screenshots in build/docs-shots.
DOCS_OUT := build/docs
SPHINX := $(VENV)/bin/sphinx-build -W --keep-going -n -q -d build/docs-doctrees
docs-setup: setup
	@tools/docs_setup.sh

docs: install docs-setup
	rm -rf $(DOCS_OUT) build/docs-doctest
	$(SPHINX) -b html docs $(DOCS_OUT)
	$(SPHINX) -b doctest docs build/docs-doctest

docs-check: docs-setup
	$(PY) tools/check_docs_browser.py $(DOCS_OUT) --shots build/docs-shots

test-docs:
	@start=$$(date +%s); $(MAKE) --no-print-directory docs && $(MAKE) --no-print-directory docs-check; \
	    status=$$?; echo "test-docs: $$(( $$(date +%s) - start )) s"; exit $$status

test: format-check native-test python-test typecheck numerics-check bench-smoke test-docs wheel-test asan

# Other compilers and architectures (installs clang-19, the aarch64 cross
# compiler, qemu-user and ziglang when missing): Clang build with the native
# tests and pytest; aarch64 core tests under qemu; the aarch64 wheel and the
# extension's pytest suite under qemu with Debian's arm64 CPython; zig
# compile-only for macOS arm64 and Windows x86-64.
# python3.14 (a Debian sid root, cached in /var/cache/larkspur): the cp314
# wheel and the suite; free-threaded: CPython 3.13t built from Debian's
# source (cached there too), both modules and the suite on it, then again
# under ThreadSanitizer (free-threaded-tsan: run when its interpreter is
# cached, otherwise reported as not run; make test-free-threaded-tsan builds it);
# glibc-floor: the cp313 wheel on glibc 2.31 (its root and interpreter made
# when not cached, about 7 minutes).
# STAGES="clang aarch64 aarch64-python python3.14 free-threaded free-threaded-tsan glibc-floor zig" selects.
test-platforms: setup
	JOBS=$(JOBS) tools/test_platforms.sh $(STAGES)

# The x86-64 cp313 wheel on Debian 11 (glibc 2.31) in a debootstrap root,
# with CPython 3.13 built there from Debian's source; root and interpreter
# cached in /var/cache/larkspur (see docs/platforms.md for when to run it).
glibc-floor: wheel
	JOBS=$(JOBS) tools/glibc_floor_check.sh

# Two Python threads against one on the free-threaded CPython 3.13t
# (tools/free_threaded_python.sh builds it when its cache is missing; the
# free-threaded stage of test-platforms builds the modules used here).
FT_DIR := build/free-threaded/3.13t
bench-free-threaded:
	JOBS=$(JOBS) tools/test_platforms.sh free-threaded-build
	PYTHONPATH=$(abspath $(FT_DIR)) $(FT_DIR)/venv/bin/python bench/free_threading.py

# The free-threaded interpreter (3.13t) and both modules built for it, with
# the whole suite (also a stage of test-platforms).
test-free-threaded: setup
	JOBS=$(JOBS) tools/test_platforms.sh free-threaded

# ThreadSanitizer over the free-threaded interpreter and both modules, the
# instrumented interpreter built first when it is not cached (about half an
# hour with its venv).
test-free-threaded-tsan: setup
	JOBS=$(JOBS) FREE_THREADED_TSAN=build tools/test_platforms.sh free-threaded-tsan

# The cp314 arm64 wheel, cross-built and repaired, its suite under qemu with
# Debian sid's arm64 CPython 3.14 (not in CI's default run: 8 more minutes).
test-aarch64-cp314: setup
	JOBS=$(JOBS) tools/test_platforms.sh aarch64-python3.14

# The cp313t arm64 wheel, cross-built and repaired, its suite under qemu with
# a free-threaded CPython 3.13 cross-built for arm64 (cached in
# /var/cache/larkspur; not in CI's default run).
test-aarch64-free-threaded: setup
	JOBS=$(JOBS) tools/test_platforms.sh aarch64-free-threaded

# The aarch64 stage with the whole pytest suite (companion and example
# scripts included; the suite alone took 7 to 11 minutes under qemu here,
# too close to the stage's 12-minute budget for CI).
test-aarch64-full: setup
	JOBS=$(JOBS) AARCH64_SUITE=full tools/test_platforms.sh aarch64-python

clean:
	rm -rf build $(VENV) dist docs/auto_gallery docs/api/generated
