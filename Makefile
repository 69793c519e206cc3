# make test   set up everything on a fresh machine, build, run every test
VENV    := .venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest
NATIVE  := build/native
JOBS    ?= 2

.PHONY: all setup native native-test install python-test test clean

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

test: native-test python-test

clean:
	rm -rf build $(VENV) dist
