# Quillmere: set-up, build, tests, sanitizers, benchmarks.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# WERROR=ON makes warnings errors in every build configured here. CI builds with it (.ci/run);
# a local build keeps warnings as warnings, so a newer compiler's new warnings stop nothing.
WERROR ?= OFF
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_DIR ?= $(HOME)/.cache/ccache
export CCACHE_MAXSIZE ?= 5G
# Death tests and sanitizers fork; keep their output readable.
export GTEST_COLOR := no

.PHONY: all setup configure build test lint demo asan tsan bench fuzz clean

all: build

setup:
	bash scripts/setup

configure:
	cmake -S . -B build -G Ninja -DQM_WERROR=$(WERROR) $(CMAKE_FLAGS)

build: configure
	cmake --build build -j $(JOBS)

test: setup build
	cd build && ctest --output-on-failure -j $(JOBS)

# clang-format and clang-tidy on the lines changed since the merge-base with main (HEAD~1 on
# main); clang-tidy reads build/compile_commands.json, so it runs after a build.
lint: configure
	scripts/lint

# The face demo over generated frames, or over the PNG files of a folder:
# make demo FRAMES_DIR=path/to/pngs. Its output goes to build/face_demo_output.
demo: setup configure
	cmake --build build -j $(JOBS) --target face_demo
	build/examples/face_demo/face_demo --out build/face_demo_output $(FRAMES_DIR)

asan: setup
	cmake -S . -B build-asan -G Ninja -DQM_SANITIZER=address -DQM_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

tsan: setup
	cmake -S . -B build-tsan -G Ninja -DQM_SANITIZER=thread -DQM_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/scripts/sanitizers/tsan.supp" ctest --output-on-failure -j $(JOBS)

bench: setup
	cmake -S . -B build-bench -G Ninja -DQM_BUILD_BENCHMARKS=ON -DQM_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench/*; do [[ -x $$b && -f $$b ]] && { echo "== $$b"; $$b; }; done; true

# The fuzz build compiles the whole tree with clang, which also checks the lock annotations
# (-Wthread-safety).
fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQM_BUILD_FUZZERS=ON -DQM_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
