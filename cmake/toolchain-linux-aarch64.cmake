# Cross-build for 64-bit ARM Linux (Raspberry Pi 3, 4 and 5 on a 64-bit OS)
# with Debian's cross compiler. The tests run under qemu-user, without -L:
# the target's multiarch C library is installed, and a second one from the
# cross toolchain would be mixed with it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
