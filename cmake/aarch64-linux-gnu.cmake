# Cross build for 64-bit Arm Linux with Debian's aarch64-linux-gnu toolchain and arm64 multiarch
# packages (libhwy-dev:arm64, libgtest-dev:arm64, libgmock-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Run test executables (gtest discovery included) under qemu.
# The arm64 multiarch C library (a dependency of libhwy1:arm64) comes with its own loader; the
# cross toolchain's copy under /usr/aarch64-linux-gnu is an older build and must not be mixed in.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
