# Set-up and everyday commands. Both `make demo` and `make test` create .venv when it is
# missing and install the package with the pinned versions in constraints.txt.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
PIP := $(BIN)/python -m pip
# WERROR=ON turns compiler warnings into errors (CI sets it for every build it does).
WERROR ?= OFF

.PHONY: tools install demo test test-asan lint lint-tools bench dev clean

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

# Build tools live in the venv, so `make dev` and editable installs use the pinned cmake/ninja.
tools: $(BIN)/python
	$(PIP) install -q -c constraints.txt scikit-build-core pybind11 ninja cmake

# The first build compiles every C++ module; the compiler's progress ([n/N] lines) is shown.
install: tools
	@echo "Building and installing velkor: compiling the C++ extension modules takes 3-10 minutes on 2 cores the first time..."
	@bash -o pipefail -c '$(PIP) install -v -c constraints.txt --no-build-isolation -Ccmake.define.VELKOR_WERROR=$(WERROR) ".[test]" 2>&1 \
	  | grep --line-buffered -E "^ *\[[0-9]+/[0-9]+\]|rror|Successfully installed" || { echo "install failed: rerun with $(PIP) install -v -c constraints.txt --no-build-isolation -Ccmake.define.VELKOR_WERROR=$(WERROR) \".[test]\" to see the full log"; exit 1; }'

demo: install
	$(PIP) install -q -c constraints.txt espeakng-loader  # the optional extra velkor[synth]
	$(BIN)/velkor demo

test: install
	$(BIN)/python -m pytest -q

# The suite on an AddressSanitizer + UndefinedBehaviorSanitizer build of every module, kept apart
# from the ordinary modules: build/asan-tree holds the packages (Python files copied from src/,
# instrumented modules built into it) and comes first on the import path.
ASAN_TREE := build/asan-tree
test-asan: install
	$(BIN)/cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_SANITIZE=ON \
	  -DVELKOR_OUTPUT_ROOT=$(abspath $(ASAN_TREE)) -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
	  -Dpybind11_DIR=$$($(BIN)/python -c "import pybind11; print(pybind11.get_cmake_dir())")
	rm -rf $(ASAN_TREE)/velkor $(ASAN_TREE)/tessom && mkdir -p $(ASAN_TREE)
	tar -C src --exclude='*.so' --exclude='*.cpp' --exclude='*.hpp' -cf - velkor tessom | tar -C $(ASAN_TREE) -xf -
	$(BIN)/cmake --build build/asan
	LD_PRELOAD="$$(cat build/asan/asan-preload)" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=$(abspath $(ASAN_TREE)) \
	  $(BIN)/python -m pytest -q -p no:cacheprovider

# Format, lint and stub checks; none needs the compiled modules. Every check runs, and the
# target fails at the end when any of them did.
lint-tools: $(BIN)/python
	$(PIP) install -q -c constraints.txt clang-format ruff mypy pandas-stubs torch numpy

lint: lint-tools
	@failed=""; \
	echo "clang-format --dry-run --Werror: src/**/*.cpp, *.hpp"; \
	find src \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z | xargs -0 $(BIN)/clang-format --dry-run --Werror || failed="$$failed clang-format"; \
	echo "ruff check"; $(BIN)/ruff check . || failed="$$failed ruff-check"; \
	echo "ruff format --check"; $(BIN)/ruff format --check . || failed="$$failed ruff-format"; \
	echo "mypy --strict: the .pyi stubs and the packages' glue"; $(BIN)/mypy || failed="$$failed mypy"; \
	if [ -n "$$failed" ]; then echo "lint failed:$$failed"; exit 1; fi

bench: install
	for b in benchmarks/bench_*.py; do $(BIN)/python $$b || exit 1; done

# Incremental in-tree build for development: modules land next to their __init__.py, and
# `PYTHONPATH=src .venv/bin/python -m pytest` tests them without reinstalling.
# Build some modules only with `make dev ONLY="pellith;lunmark"`.
dev: tools
	$(BIN)/cmake -S . -B build/dev -G Ninja -DVELKOR_INPLACE=ON -DVELKOR_ONLY="$(ONLY)" -DVELKOR_WERROR=$(WERROR) \
	  -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
	  -Dpybind11_DIR=$$($(BIN)/python -c "import pybind11; print(pybind11.get_cmake_dir())")
	$(BIN)/cmake --build build/dev

clean:
	rm -rf build src/velkor/*/*.so src/tessom/*/*.so
