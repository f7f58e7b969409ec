# Two entry points for a fresh machine (run as root):
#   make demo   installs everything and runs the demo
#   make test   installs everything and runs the full test suite
# `make dev-test` rebuilds into build/dev and tests that build without
# installing (the quick loop while developing).

PYTHON ?= python3
DEB_PACKAGES := g++ cmake ninja-build libpolyclipping-dev libboost-dev libtbb-dev
BUILD_DIR ?= build/dev
PYTEST_ARGS ?=

.PHONY: deps install demo test dev dev-test bench

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
