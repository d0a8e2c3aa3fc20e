# make run: install what is missing, build, start the viewer.
# make test: install what is missing, build, run every test, then the unit, camera and
#            end-to-end tests again with AddressSanitizer and UBSan, and a short fuzz run.
BUILD ?= build
SAN_BUILD ?= $(BUILD)-san
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: run test test-sanitized build deps deps-test clean

run: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS) --target orvelle
	$(BUILD)/orvelle

test: deps-test build test-sanitized
	cd $(BUILD) && ctest --output-on-failure

# Packaging a sanitized binary proves nothing, so the install test runs only above.
test-sanitized: deps-test
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DORVELLE_SANITIZE=ON -DORVELLE_FUZZ=ON -DORVELLE_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure -LE install

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

deps:
	@tools/install-deps build

deps-test:
	@tools/install-deps test

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
