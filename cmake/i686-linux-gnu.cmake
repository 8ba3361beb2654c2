# 32-bit x86 Linux.
set(cross_arch i686)
set(cross_qemu qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
