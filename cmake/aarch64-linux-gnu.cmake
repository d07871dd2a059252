# Cross-compiling for 64-bit ARM Linux (aarch64: Raspberry Pi OS 64-bit and the like) with Debian's
# GNU cross toolchain (g++-aarch64-linux-gnu). `make wheel-aarch64` passes it to scikit-build-core as
# CMAKE_TOOLCHAIN_FILE, with the target's CPython headers:
#
#   ORVIK_PYTHON_ROOT     a root holding the target's usr/include/python3.X (an unpacked Debian
#                         libpython3.X-dev for arm64, as tools/debian-python makes)
#   ORVIK_PYTHON_VERSION  that CPython's version, 3.X
#
# The build machine's Python must not be used for anything of the target, so scikit-build-core's
# Python hints are switched off (cmake.python-hints=false) and the module's CMakeLists finds the
# development files alone when cross-compiling.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ORVIK_CROSS_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${ORVIK_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ORVIK_CROSS_TRIPLET}-g++)

# Libraries and headers come from the toolchain's sysroot only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ORVIK_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(ORVIK_PYTHON_ROOT AND ORVIK_PYTHON_VERSION)
  string(REPLACE "." "" _orvik_nodot "${ORVIK_PYTHON_VERSION}")
  set(Python_INCLUDE_DIR "${ORVIK_PYTHON_ROOT}/usr/include/python${ORVIK_PYTHON_VERSION}"
      CACHE PATH "The target CPython's headers")
  # The extension suffix the target interpreter looks for: .cpython-3X-aarch64-linux-gnu.so.
  set(Python_SOABI "cpython-${_orvik_nodot}-${ORVIK_CROSS_TRIPLET}" CACHE STRING
      "The target CPython's SOABI")
  # Debian's pyconfig.h includes <aarch64-linux-gnu/python3.X/pyconfig.h>. The root's usr/include
  # is searched after the toolchain's own headers, so nothing in it can replace the C library's.
  string(APPEND CMAKE_C_FLAGS_INIT " -idirafter ${ORVIK_PYTHON_ROOT}/usr/include")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${ORVIK_PYTHON_ROOT}/usr/include")
endif()
