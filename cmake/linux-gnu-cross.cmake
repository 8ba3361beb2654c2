# Cross-build for Linux on the processor `cross_arch` with Debian's g++-<arch>-linux-gnu; the
# tests run under `cross_qemu` (qemu-user). Included by the toolchain file of each processor.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${cross_arch})
set(CMAKE_C_COMPILER ${cross_arch}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${cross_arch}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${cross_arch}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_qemu} -L /usr/${cross_arch}-linux-gnu)
