# Entry points. `make demo` runs the whole system for ten seconds and records what it publishes;
# `make view` runs the system and its live view in a browser until Ctrl-C;
# `make test` installs dependencies, builds and runs every test, then repeats the unit tests under
# AddressSanitizer + UndefinedBehaviorSanitizer; `make run` runs the application until Ctrl-C; `make lint` runs
# clang-tidy over every source of the build (make test does too).

BUILD_DIR ?= build/release
ASAN_DIR  ?= build/asan
JOBS      ?= $(shell nproc)

.PHONY: all deps build test demo view run format lint clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAMERA_STRICT=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps
	./scripts/test.sh

demo:
	./scripts/demo.sh

view:
	./scripts/view.sh

run:
	./scripts/run.sh

lint: build
	BUILD_DIR=$(BUILD_DIR) ./scripts/lint.sh

format:
	find modules platform tools visual generated tests \( -name '*.cpp' -o -name '*.h' -o -name PubWrapper \) \
	  -not -path '*/node_modules/*' | xargs clang-format -i

clean:
	rm -rf build
