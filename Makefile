# Two entry points for a fresh machine (run as root):
#   make demo   installs everything and runs the demo
#   make test   installs everything and runs the full test suite
# `make sanitize-test` runs the suite against an ASan+UBSan build.
# `make dev-test` rebuilds into build/dev and tests that build without
# installing (the quick loop while developing).
#
# Everything Python goes into the project's own virtual environment $(VENV),
# made from $(PYTHON): a distribution's externally managed interpreter works
# like any other, nothing is installed into it, and $(VENV)/bin/kovalith is
# the command afterwards. The venv is made anew when $(PYTHON) names another
# interpreter than the one it was made from.
#
# The package is built without build isolation, with its build requirements
# in the venv, into $(VENV_BUILD), which goes with the venv (a new venv starts
# it afresh): a later install recompiles only what changed (an isolated build
# would configure against a fresh temporary environment each time), and pip
# shows the compiler's progress lines as they come. The suite finds the
# test-only native probe built beside the module there.

PYTHON ?= python3
VENV ?= .venv
VENV_PYTHON := $(VENV)/bin/python
VENV_BUILD := build/venv
# python3-venv and python3-dev: what Debian's own python3 lacks to make a
# venv and to build an extension against.
DEB_PACKAGES := g++ cmake ninja-build libpolyclipping-dev libboost-dev python3-venv python3-dev
# The suite renders the HTML view in a headless browser.
TEST_DEB_PACKAGES := chromium
BUILD_DIR ?= build/dev
PYTEST_ARGS ?=
PIP := $(VENV_PYTHON) -m pip --disable-pip-version-check

.PHONY: deps test-deps venv requirements install demo test dev dev-test sanitize-test

define apt_install
@missing=""; \
for p in $(1); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; done; \
if [ -n "$$missing" ]; then \
  echo "installing Debian packages:$$missing"; \
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
fi
endef

deps:
	$(call apt_install,$(DEB_PACKAGES))

test-deps: deps
	$(call apt_install,$(TEST_DEB_PACKAGES))

venv: deps
	@want=$$($(PYTHON) -c 'import os, sys; print(os.path.realpath(sys.executable))') || exit 1; \
	have=$$(sed -n 's/^executable = //p' $(VENV)/pyvenv.cfg 2>/dev/null); \
	if [ "$$want" != "$$have" ] || [ ! -x $(VENV_PYTHON) ]; then \
	  echo "making $(VENV) from $$want"; \
	  rm -rf $(VENV_BUILD); \
	  $(PYTHON) -m venv --clear $(VENV); \
	fi

# The build requirements and the test extra, read from pyproject.toml, once
# per change of that file (the stamp lives in the venv, so a new venv
# installs them again).
$(VENV)/requirements.txt: pyproject.toml | venv
	$(VENV_PYTHON) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb")); print(*p["build-system"]["requires"], *p["project"]["optional-dependencies"]["test"], sep="\n")' > $@.new
	$(PIP) install --quiet -r $@.new
	mv $@.new $@

requirements: venv $(VENV)/requirements.txt

install: requirements
	$(PIP) install -v --no-build-isolation --no-deps --config-settings=build-dir=$(VENV_BUILD) .

demo: install
	$(VENV_PYTHON) examples/demo.py

test: install test-deps
	$(VENV_PYTHON) -m pytest -q $(PYTEST_ARGS)

dev: venv
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$(abspath $(VENV_PYTHON)) >/dev/null
	ninja -C $(BUILD_DIR)

dev-test: dev requirements test-deps
	PYTHONPATH=$(BUILD_DIR) $(VENV_PYTHON) -m pytest -q $(PYTEST_ARGS)

# The interpreter itself is not instrumented, so the ASan runtime is preloaded
# into it, with the C++ runtime beside it: the interpreter does not link
# libstdc++, and ASan only finds the real __cxa_throw to wrap if it is loaded
# from the start (else the first C++ exception thrown by any module aborts).
# PYTHONMALLOC=malloc routes Python's allocations through ASan so a
# use-after-free of an object is caught too. Leak detection stays on: objects
# still reachable at exit are not reported, so only real leaks show; the
# suppressions file lists what NumPy leaves behind at exit.
SANITIZE_DIR ?= build/asan
sanitize-test: requirements test-deps
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DKOVALITH_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(VENV_PYTHON)) >/dev/null
	ninja -C $(SANITIZE_DIR)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	PYTHONMALLOC=malloc PYTHONPATH=$(SANITIZE_DIR) \
	  $(VENV_PYTHON) -m pytest -q -p no:cacheprovider --capture=sys $(PYTEST_ARGS)

# Coverage-guided fuzzing by hand: atheris (from PyPI) driving a build whose
# native code is instrumented for coverage too, with clang from Debian. The
# prebuilt atheris ships an ASan runtime with libFuzzer linked in, which is
# preloaded; the build uses ASan and UBSan (less the vptr and function
# checks, whose C++ runtime that library lacks). libstdc++ 12 hides
# std::expected from clang 16, which supports it but still reports an older
# concepts level, hence the macro override.
#   make fuzz HARNESS=ifc FUZZ_ARGS=-max_total_time=600
FUZZ_DIR ?= build/fuzz
FUZZ_CXX ?= clang++-16
FUZZ_SANITIZERS := -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function
HARNESS ?= ifc
FUZZ_ARGS ?= -max_total_time=60
.PHONY: fuzz-build fuzz
fuzz-build: venv
	@command -v $(FUZZ_CXX) >/dev/null || { echo "install clang-16 (Debian) first"; exit 1; }
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  "-DCMAKE_CXX_FLAGS=$(FUZZ_SANITIZERS) -fno-sanitize-recover=undefined -U__cpp_concepts -D__cpp_concepts=202002L -Wno-builtin-macro-redefined" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=$(FUZZ_SANITIZERS)" -DPython_EXECUTABLE=$(abspath $(VENV_PYTHON)) >/dev/null
	ninja -C $(FUZZ_DIR)

fuzz: fuzz-build
	mkdir -p $(FUZZ_DIR)/corpus/$(HARNESS)
	cd fuzz && LD_PRELOAD=$$($(abspath $(VENV_PYTHON)) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=../$(FUZZ_DIR) $(abspath $(VENV_PYTHON)) harness_$(HARNESS).py -artifact_prefix=../$(FUZZ_DIR)/ \
	  $(FUZZ_ARGS) ../$(FUZZ_DIR)/corpus/$(HARNESS)
