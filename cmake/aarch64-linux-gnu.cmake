# Cross-compiles for aarch64 Linux with Debian's cross compiler against the
# CPython 3.11 headers of a sysroot made by scripts/aarch64-sysroot:
#
#   cmake -S . -B build/aarch64 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DTARNWICK_AARCH64_SYSROOT=$(scripts/aarch64-sysroot)
#
# The limited-API module needs only the headers: it links no libpython. The
# C library and libstdc++ come from the cross compiler's own target tree.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(TARNWICK_AARCH64_SYSROOT "$ENV{TARNWICK_AARCH64_SYSROOT}" CACHE PATH
    "Sysroot holding Debian's arm64 CPython 3.11 (scripts/aarch64-sysroot prints it)")
# Try-compile projects see only the variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNWICK_AARCH64_SYSROOT)
if(NOT IS_DIRECTORY "${TARNWICK_AARCH64_SYSROOT}/usr/include/python3.11")
  message(FATAL_ERROR "TARNWICK_AARCH64_SYSROOT (${TARNWICK_AARCH64_SYSROOT}) has no "
                      "usr/include/python3.11: run scripts/aarch64-sysroot")
endif()

# FindPython cannot ask a foreign interpreter, so it is told. The build host's
# python3 only satisfies the Interpreter component; nothing of it is used.
set(Python_INCLUDE_DIR "${TARNWICK_AARCH64_SYSROOT}/usr/include/python3.11")
set(Python_SOABI "cpython-311-aarch64-linux-gnu")
set(Python_SOSABI "abi3")
# pyconfig.h includes <aarch64-linux-gnu/python3.11/pyconfig.h>; searched after
# the cross compiler's own headers.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TARNWICK_AARCH64_SYSROOT}/usr/include")

set(CMAKE_FIND_ROOT_PATH "${TARNWICK_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
