# Set-up and everyday commands. Both `make demo` and `make test` create .venv when it is
# missing and install the package with the pinned versions in constraints.txt.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
PIP := $(BIN)/python -m pip

.PHONY: tools install demo test test-asan bench dev clean

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

# Build tools live in the venv, so `make dev` and editable installs use the pinned cmake/ninja.
tools: $(BIN)/python
	$(PIP) install -q -c constraints.txt scikit-build-core pybind11 ninja cmake

# The first build compiles every C++ module; the compiler's progress ([n/N] lines) is shown.
install: tools
	@echo "Building and installing velkor: compiling the C++ extension modules takes 3-10 minutes on 2 cores the first time..."
	@bash -o pipefail -c '$(PIP) install -v -c constraints.txt --no-build-isolation ".[test]" 2>&1 \
	  | grep --line-buffered -E "^ *\[[0-9]+/[0-9]+\]|rror|Successfully installed" || { echo "install failed: rerun with $(PIP) install -v -c constraints.txt --no-build-isolation \".[test]\" to see the full log"; exit 1; }'

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
	tar -C src --exclude='*.so' --exclude='*.cpp' -cf - velkor tessom | tar -C $(ASAN_TREE) -xf -
	$(BIN)/cmake --build build/asan
	LD_PRELOAD="$$(cat build/asan/asan-preload)" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=$(abspath $(ASAN_TREE)) \
	  $(BIN)/python -m pytest -q -p no:cacheprovider

bench: install
	for b in benchmarks/bench_*.py; do $(BIN)/python $$b || exit 1; done

# Incremental in-tree build for development: modules land next to their __init__.py, and
# `PYTHONPATH=src .venv/bin/python -m pytest` tests them without reinstalling.
# Build some modules only with `make dev ONLY="pellith;lunmark"`.
dev: tools
	$(BIN)/cmake -S . -B build/dev -G Ninja -DVELKOR_INPLACE=ON -DVELKOR_ONLY="$(ONLY)" \
	  -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
	  -Dpybind11_DIR=$$($(BIN)/python -c "import pybind11; print(pybind11.get_cmake_dir())")
	$(BIN)/cmake --build build/dev

clean:
	rm -rf build src/velkor/*/*.so src/tessom/*/*.so
