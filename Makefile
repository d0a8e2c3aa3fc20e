# make run: install what is missing, build, start the viewer.
# make test: install what is missing, build, run every test.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: run test build deps deps-test clean

run: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS) --target orvelle
	$(BUILD)/orvelle

test: deps-test build
	cd $(BUILD) && ctest --output-on-failure

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

deps:
	@tools/install-deps build

deps-test:
	@tools/install-deps test

clean:
	rm -rf $(BUILD)
