# Cross-build for 32-bit ARM Linux (Raspberry Pi 2 and newer on a 32-bit OS)
# with Debian's cross compiler, which targets ARMv7. The tests run under
# qemu-user, without -L: the target's multiarch C library is installed, and a
# second one from the cross toolchain would be mixed with it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
# GCC notes that it passes some arguments differently since GCC 7.1; that
# concerns only code built by older compilers, and nothing here links any.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
