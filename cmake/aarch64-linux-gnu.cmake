# 64-bit Arm Linux.
set(cross_arch aarch64)
set(cross_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
