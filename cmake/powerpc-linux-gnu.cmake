# SPDX-FileCopyrightText: 2026 tamsk developers
# SPDX-License-Identifier: MIT
# Cross build for the controller: 32-bit big-endian PowerPC Linux. Programs
# are linked statically, as in a controller image, and run under user-mode
# emulation for the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(TAMSK_STATIC ON CACHE BOOL "Link every program statically, for a controller image")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-ppc-static)
