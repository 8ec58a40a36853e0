# The two set-up commands are `make demo` and `make test`; both create .venv
# with CPython 3.13 and build the module first.
PY := .venv/bin/python

.PHONY: setup demo test test-asan bench clean

setup:
	@bash scripts/setup.sh

demo: setup
	$(PY) examples/demo.py

test: setup
	$(PY) -m pytest -q

# The suite against the AddressSanitizer + UndefinedBehaviorSanitizer build.
test-asan: setup
	@bash scripts/test-asan.sh

bench: setup
	$(PY) benchmarks/run.py

clean:
	rm -rf build .venv

# Differential fuzzing of the native module against the twin, under
# ASan/UBSan: FUZZ_SECONDS per target (make fuzz FUZZ_SECONDS=600).
FUZZ_SECONDS ?= 45
.PHONY: fuzz
fuzz: setup
	bash fuzz/run.sh $(FUZZ_SECONDS)
