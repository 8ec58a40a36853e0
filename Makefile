# The two set-up commands are `make demo` and `make test`; both create .venv
# with CPython 3.13 and build the module first.
PY := .venv/bin/python

.PHONY: setup demo test test-asan bench clean lint format

setup:
	@bash scripts/setup.sh

demo: setup
	$(PY) examples/demo.py

test: setup
	$(PY) -m pytest -q

# clang-format and ruff format checks, ruff check and clang-tidy, each with
# 0 findings (scripts/lint.sh); format rewrites what the format checks hold.
lint: setup
	@bash scripts/lint.sh

format: setup
	@bash scripts/format.sh

# The suite against the AddressSanitizer + UndefinedBehaviorSanitizer build.
test-asan: setup
	@bash scripts/test-asan.sh

# Line, function and branch coverage of src/ under the suite, with the lines
# no test runs (a report: a low figure fails nothing).
.PHONY: coverage
coverage: setup
	@bash scripts/coverage.sh

# The sdist and the four manylinux wheels (CPython 3.13 and 3.14, each for
# x86-64 and aarch64; zig's C++ for glibc 2.17), in dist/; test-wheel runs
# the whole suite against each x86-64 wheel installed in a fresh virtual
# environment of its interpreter (Debian's, for 3.14), then checks the
# installed stub; test-aarch64 runs the subset in tests/aarch64-subset.txt
# against each aarch64 wheel on Debian's aarch64 interpreter under qemu.
.PHONY: wheel test-wheel test-aarch64
wheel: setup
	@bash scripts/wheel.sh

test-wheel: wheel
	@bash scripts/test-wheel.sh 3.13 && bash scripts/test-wheel.sh 3.14

test-aarch64: wheel
	@bash scripts/test-aarch64.sh 3.13 && bash scripts/test-aarch64.sh 3.14

# mypy.stubtest of the stub against the module installed in .venv, and the
# typed usage file through mypy --strict (test-wheel does the same for each
# installed x86-64 wheel).
.PHONY: typing
typing: setup
	@bash scripts/check-typing.sh .venv/bin/python

# The sdist built with g++ and clang++, each with libstdc++ and libc++, with
# warnings as errors; each build imported and smoke-tested.
.PHONY: compilers
compilers: setup
	@bash scripts/compilers.sh

bench: setup
	$(PY) benchmarks/run.py

clean:
	rm -rf build .venv dist

# Differential fuzzing of the native module against the twin, under
# ASan/UBSan: FUZZ_SECONDS per target (make fuzz FUZZ_SECONDS=600).
FUZZ_SECONDS ?= 45
.PHONY: fuzz
fuzz: setup
	bash fuzz/run.sh $(FUZZ_SECONDS)

# Draws N faults (default 120) from the C++ sources with a fixed seed
# (scripts/faults.py: operators, equivalents in scripts/equivalent-faults.txt),
# plants each in turn in a copy of the tree (build/mutate), rebuilds it and
# runs the suite's native runs with -x against it; prints each fault as
# file:line with its diff, killed / survived / crashed, and the kill rate.
# `make mutate-list` plants the hand-written faults of scripts/mutants.py
# instead. Long (one to two hours on two cores), so not part of CI.
# FAULTS=<id prefixes> picks some (streaming/lines.cpp:17, request/, ...).
SEED ?= 1
N ?= 120
.PHONY: mutate mutate-list
mutate: setup
	$(PY) scripts/mutate.py --seed $(SEED) -n $(N) $(FAULTS)

mutate-list: setup
	$(PY) scripts/mutate.py --list $(FAULTS)
