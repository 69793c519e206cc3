# make demo   set up everything on a fresh machine, run the test on the bundled real data
# make test   set up everything on a fresh machine, build, run every test
VENV    := .venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest
NATIVE  := build/native
JOBS    ?= 2

.PHONY: all setup native native-test install python-test typecheck wheel-test bench bench-smoke demo test clean

all: test

setup:
	@tools/setup.sh

native: setup
	$(CMAKE) -S . -B $(NATIVE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY))
	$(CMAKE) --build $(NATIVE) -j $(JOBS)

native-test: native
	$(CTEST) --test-dir $(NATIVE) --output-on-failure -j $(JOBS)

# Installs the extension into .venv the way users get it (a wheel built by
# scikit-build-core), reusing the build tree between runs.
install: setup
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .

python-test: native install
	$(PY) -m pytest -q tests/python

# The typed example must pass mypy --strict; the misuse example must not.
typecheck: install
	cd build && ../$(VENV)/bin/mypy --strict --no-incremental ../examples/typed_usage.py
	@if cd build && ../$(VENV)/bin/mypy --strict --no-incremental ../tests/typing/assignment_rejected.py >/dev/null; then \
	    echo "mypy accepted an assignment to a read-only result attribute"; exit 1; fi

# The wheel, installed into a fresh virtual environment, passes the suite there.
WHEEL_CHECK := build/wheel-check
wheel-test: native
	rm -rf dist $(WHEEL_CHECK)
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps -w dist .
	$(PY) -m venv $(WHEEL_CHECK)
	$(WHEEL_CHECK)/bin/python -m pip install --quiet --disable-pip-version-check dist/larkspur-*.whl pytest pandas
	cd $(WHEEL_CHECK) && bin/python -m pytest -q -p no:cacheprovider $(abspath tests/python)

# Benchmarks: the native kernels against the plain loop, then per-call times
# against NumPy and statsmodels. Never part of a pass/fail test; make test only
# runs both on tiny inputs so that they keep working.
bench: native install
	$(PY) -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
	$(NATIVE)/kernel_bench
	$(PY) bench/bench.py

bench-smoke: native install
	$(NATIVE)/kernel_bench --quick
	$(PY) bench/bench.py --quick

demo: install
	$(PY) examples/demo.py

test: native-test python-test typecheck bench-smoke wheel-test

clean:
	rm -rf build $(VENV) dist
