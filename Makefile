# make run: install what is missing, build, start the viewer.
# make test: install what is missing, build, run every test, then the unit, camera and
#            end-to-end tests again with AddressSanitizer and UBSan, and a short fuzz run.
# make demo: as `make run`, on a virtual camera playing street footage (needs $DISPLAY).
# make test-kernel: only the tests in a virtual machine on the kernel's camera driver vivid.
# make test-debian13: `make test` again in a clean Debian 13 root (as root).
# make test-arm64: the viewer and its tests cross-built for Debian arm64 and run under QEMU.
# make screenshot: the README's picture, docs/orvelle.png, made again (tools/screenshot).
BUILD ?= build
SAN_BUILD ?= $(BUILD)-san
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: run test test-sanitized test-kernel test-debian13 test-arm64 demo screenshot build deps \
  deps-test clean

# ctest's summary says only "Skipped": the reasons the tests gave, from its log.
SKIP_REASONS = awk '/^[0-9]+\/[0-9]+ Testing: / { t = $$3 } /SKIP:/ { print t ": " $$0 }' \
  Testing/Temporary/LastTest.log 2>/dev/null || true

run: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS) --target orvelle
	$(BUILD)/orvelle

test: deps-test build test-sanitized
	cd $(BUILD) && { ctest --output-on-failure; s=$$?; $(SKIP_REASONS); exit $$s; }

test-kernel: deps-test build
	cd $(BUILD) && { ctest --output-on-failure -L kernel; s=$$?; $(SKIP_REASONS); exit $$s; }

# `make test` (or TEST_COMMAND) in a fresh clone of HEAD inside a clean Debian 13 root; as
# root. DEBIAN13_ROOT=DIR keeps the root there for the next run.
TEST_COMMAND ?= make test
test-debian13:
	tools/debian13-run $(if $(DEBIAN13_ROOT),--root $(DEBIAN13_ROOT)) -- $(TEST_COMMAND)

test-arm64:
	JOBS=$(JOBS) tools/test-arm64 $(BUILD)-arm64

# Packaging a sanitized binary proves nothing, so the install test runs only above; nor do
# the kernel tests run here, whose emulated machine would take far too long with it.
test-sanitized: deps-test
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DORVELLE_SANITIZE=ON -DORVELLE_FUZZ=ON -DORVELLE_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure -LE 'install|fuzz|kernel'
	@# In full (-V), so that a passing run's `Done N runs` line shows too.
	cd $(SAN_BUILD) && ctest -V -L fuzz

# 300 frames of Debian's vtest.avi at 640 x 480, decoded once (about 280 MB).
DEMO_FRAMES = $(BUILD)/footage/demo.orv
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS) --target orvelle orvelle_vcam orvelle_vcam_frames
	test -s $(DEMO_FRAMES) || { $(BUILD)/vcam/orvelle_vcam_frames \
	  "$$(tools/fetch-footage $(BUILD)/footage)" $(DEMO_FRAMES).part -n 300 -s 640x480 && \
	  mv $(DEMO_FRAMES).part $(DEMO_FRAMES); }
	LD_PRELOAD=$(abspath $(BUILD))/vcam/liborvelle_vcam.so \
	  ORVELLE_VCAM_FRAMES=$(abspath $(DEMO_FRAMES)) $(BUILD)/orvelle

# Xvfb, xdotool and ImageMagick come with the test packages.
screenshot: deps-test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS) --target orvelle orvelle_vcam orvelle_vcam_frames
	tools/screenshot $(BUILD) docs/orvelle.png

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

deps:
	@tools/install-deps build

deps-test:
	@tools/install-deps test

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
