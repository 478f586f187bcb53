# Cross build for s390x: no touch device runs it, but it is big-endian, so its
# unit tests catch byte-order assumptions.
set(touchkey_triplet s390x-linux-gnu)
set(touchkey_qemu qemu-s390x)
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
