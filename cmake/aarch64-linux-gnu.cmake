# Cross build for 64-bit Arm Linux with Debian's aarch64-linux-gnu toolchain and the arm64
# multiarch packages scripts/setup --cross installs (FFmpeg, Highway, stb, GoogleTest, Google
# Benchmark); ONNX Runtime comes from .deps/onnxruntime/lib/arm64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# pkg-config must see only the arm64 .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# Run test executables (gtest discovery included) under qemu; QEMU_CPU picks the CPU model.
# The arm64 multiarch C library (a dependency of libhwy1:arm64) comes with its own loader; the
# cross toolchain's copy under /usr/aarch64-linux-gnu is an older build and must not be mixed in.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
