# Cross-builds for Debian arm64 against the root that tools/arm64-root makes; the tests run
# under QEMU's user-mode emulation. ORVELLE_ARM64_ROOT: that root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT ${ORVELLE_ARM64_ROOT})
set(CMAKE_FIND_ROOT_PATH ${ORVELLE_ARM64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${ORVELLE_ARM64_ROOT})
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ORVELLE_ARM64_ROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    ${ORVELLE_ARM64_ROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${ORVELLE_ARM64_ROOT}/usr/share/pkgconfig)
# Try-compile projects need the root too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVELLE_ARM64_ROOT)
