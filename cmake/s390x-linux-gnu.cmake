# IBM Z Linux: big-endian.
set(cross_arch s390x)
set(cross_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
