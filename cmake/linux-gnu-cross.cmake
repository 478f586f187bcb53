# Shared part of the cross toolchain files: Debian's cross compiler for the
# target triplet, the target's libraries from its cross sysroot, and qemu-user
# to run what was built (ctest prefixes it to every test program).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${touchkey_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${touchkey_triplet}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${touchkey_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(touchkey_emulator ${touchkey_qemu} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${touchkey_emulator})
