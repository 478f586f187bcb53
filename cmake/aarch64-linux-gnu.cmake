# Cross build for 64-bit ARM boards (Debian arm64).
set(touchkey_triplet aarch64-linux-gnu)
set(touchkey_qemu qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
