# SPDX-License-Identifier: MIT
# 32-bit x86 (Debian i386) on an x86-64 Debian 12 or 13 host: Debian's cross compiler and the
# multiarch :i386 libraries in /usr/lib/i386-linux-gnu (scripts/test-i386.sh installs them).
# The host's own root serves as the sysroot; i386 programs run directly on an x86-64 kernel,
# so the tests need no emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(PKG_CONFIG_EXECUTABLE i686-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for i386")
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
