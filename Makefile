# Every target sets itself up: Debian packages, a virtual environment, the build, the install.
SHELL := /bin/bash
SYSTEM_PYTHON := /usr/bin/python3
VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := g++ meson ninja-build pkg-config python3-dev python3-venv python3-pip-whl \
                python3-mesonpy python3-cryptography python3-pytest python3-hypothesis python3-mypy
PYTEST_ARGS ?=

.PHONY: help deps venv install demo test check clean test-matrix test-aarch64 test-debian test-asan test-leaks test-ft fuzz mutate bench bench-quick wheel sdist wheels

# The first target: a bare `make` lists the targets and changes nothing on the machine.
help:
	@echo "make demo          set up (Debian packages, .venv, build, install), run examples/demo.py"
	@echo "make test          the same set-up, then the test suite (pytest)"
	@echo "make deps          install the Debian packages the build and the tests need (as root)"
	@echo "make install       build and install the package into .venv"
	@echo "make bench         the benchmark (bench/run.py, about 90 s); bench-quick: under a minute"
	@echo "make check         what CI runs (.ci/run): make test, then every interpreter CI tests"
	@echo "make test-matrix   build and test for this machine's interpreters (tools/interpreters.txt)"
	@echo "make test-debian   build and test inside the Debian trees (tools/interpreters.txt)"
	@echo "make test-aarch64  cross-build for 64-bit ARM and test under qemu"
	@echo "make test-asan     the suite under ASan and UBSan, then valgrind memcheck"
	@echo "make test-leaks    reference and block leak counts on python3-dbg"
	@echo "make test-ft       the free-threaded checks: make test-ft FT_PYTHON=/path/to/python3.14t"
	@echo "make fuzz          the long fuzzing profile"
	@echo "make mutate        mutation check (~25 min): MUTANTS=N sample size, MUTATE_ONLY=file.cpp[:line][,...]"
	@echo "make wheel, sdist  a wheel for Debian's python3, the source archive"
	@echo "make wheels        sdist and manylinux wheels for x86_64 and aarch64 into dist/, each tested"
	@echo "make clean         remove .venv, build directories and dist/"

deps:
	@source tools/lib.sh && kv_require_packages $(APT_PACKAGES)

$(PY): | deps
	$(SYSTEM_PYTHON) -m venv --system-site-packages $(VENV)

venv: deps $(PY)

install: venv
	$(PY) -m pip install --quiet --no-build-isolation --no-deps --no-index --force-reinstall .

demo: install
	$(PY) examples/demo.py
	@export KELVARO_PASSPHRASE='correct horse battery staple'; key=$$(mktemp); \
	token=$$(printf %s 'Grüße aus Köln' | $(PY) -m kelvaro_duneth encrypt) && echo "cli token         $$token" && \
	echo "cli decrypted     $$(echo "$$token" | $(PY) -m kelvaro_duneth decrypt)" && \
	$(PY) -m kelvaro_duneth key -o "$$key" && echo "cli key           $$(cat "$$key")" && \
	echo "Fernet, that key  $$(echo "$$token" | $(PY) examples/read_with_fernet.py "$$key")" && \
	echo "cli string-key    $$($(PY) -m kelvaro_duneth string-key)" && \
	echo "cli end-date      $$($(PY) -m kelvaro_duneth end-date --years 1 --months 1 --days 1)"; \
	status=$$?; rm -f "$$key"; exit $$status

test: install
	cd tests && ../$(PY) -m pytest -q $(PYTEST_ARGS)

# What CI runs, in the same script (see docs/testing.md).
check:
	bash .ci/run

# Heavier checks, each a command of its own (see docs/testing.md).
test-matrix: deps
	bash tools/test-matrix.sh

test-aarch64: deps
	bash tools/test-aarch64.sh

test-debian:
	bash tools/test-debian.sh

test-asan: venv
	bash tools/test-asan.sh

test-leaks: deps
	bash tools/test-leaks.sh

# A free-threaded CPython built by hand: make test-ft FT_PYTHON=/path/to/python3.14t
test-ft: deps
	FT_PYTHON=$(FT_PYTHON) bash tools/test-ft.sh

fuzz: install
	cd tests && KV_FUZZ_PROFILE=long ../$(PY) -m pytest -q test_fuzz.py

# Small changes to the C++ sources, one at a time, each rebuilt and tested (tools/mutate.py).
MUTANTS ?= 70
mutate: deps
	$(SYSTEM_PYTHON) tools/mutate.py --mutants $(MUTANTS) $(if $(MUTATE_ONLY),--only $(MUTATE_ONLY))

bench: install
	$(PY) bench/run.py

bench-quick: install
	$(PY) bench/run.py --quick

wheel: venv
	$(PY) -m pip wheel --no-build-isolation --no-deps --no-index -w dist .

sdist: venv
	mkdir -p dist && $(PY) -c "import sys; sys.path.insert(0, 'backend'); import kv_backend; print(kv_backend.build_sdist('dist'))"

wheels:
	bash tools/wheels/build.sh

clean:
	rm -rf $(VENV) build builddir* .hypothesis dist
