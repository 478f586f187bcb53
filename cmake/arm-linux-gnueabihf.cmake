# Cross build for 32-bit ARM boards with hardware floating point (Debian armhf).
set(touchkey_triplet arm-linux-gnueabihf)
set(touchkey_qemu qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
