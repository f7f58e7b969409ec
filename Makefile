# Two entry points for a fresh machine (run as root):
#   make demo   installs everything and runs the demo
#   make test   installs everything and runs the full test suite
# `make sanitize-test` runs the suite against an ASan+UBSan build.
# `make dev-test` rebuilds into build/dev and tests that build without
# installing (the quick loop while developing).

PYTHON ?= python3
DEB_PACKAGES := g++ cmake ninja-build libpolyclipping-dev libboost-dev
BUILD_DIR ?= build/dev
PYTEST_ARGS ?=

.PHONY: deps install demo test dev dev-test sanitize-test

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

install: deps
	$(PYTHON) -m pip install --quiet --disable-pip-version-check '.[test]'

demo: install
	$(PYTHON) examples/demo.py

test: install
	$(PYTHON) -m pytest -q $(PYTEST_ARGS)

dev: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	ninja -C $(BUILD_DIR)

dev-test: dev
	PYTHONPATH=$(BUILD_DIR) $(PYTHON) -m pytest -q $(PYTEST_ARGS)

# The interpreter itself is not instrumented, so the ASan runtime is preloaded
# into it, with the C++ runtime beside it: the interpreter does not link
# libstdc++, and ASan only finds the real __cxa_throw to wrap if it is loaded
# from the start (else the first C++ exception thrown by any module aborts).
# PYTHONMALLOC=malloc routes Python's allocations through ASan so a
# use-after-free of an object is caught too. Leak detection stays on: objects
# still reachable at exit are not reported, so only real leaks show; the
# suppressions file lists what NumPy leaves behind at exit.
SANITIZE_DIR ?= build/asan
sanitize-test: install
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DKOVALITH_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	ninja -C $(SANITIZE_DIR)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	PYTHONMALLOC=malloc PYTHONPATH=$(SANITIZE_DIR) \
	  $$($(PYTHON) -c 'import sys; print(sys.executable)') -m pytest -q -p no:cacheprovider --capture=sys $(PYTEST_ARGS)

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
fuzz-build:
	@command -v $(FUZZ_CXX) >/dev/null || { echo "install clang-16 (Debian) first"; exit 1; }
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  "-DCMAKE_CXX_FLAGS=$(FUZZ_SANITIZERS) -fno-sanitize-recover=undefined -U__cpp_concepts -D__cpp_concepts=202002L -Wno-builtin-macro-redefined" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=$(FUZZ_SANITIZERS)" -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	ninja -C $(FUZZ_DIR)

fuzz: fuzz-build
	mkdir -p $(FUZZ_DIR)/corpus/$(HARNESS)
	cd fuzz && LD_PRELOAD=$$($(PYTHON) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=../$(FUZZ_DIR) $(PYTHON) harness_$(HARNESS).py -artifact_prefix=../$(FUZZ_DIR)/ \
	  $(FUZZ_ARGS) ../$(FUZZ_DIR)/corpus/$(HARNESS)
