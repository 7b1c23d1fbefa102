# Builds for 32-bit x86, the robot's own target, with Debian's i686 cross
# compiler (g++-i686-linux-gnu) against an i386 tree of the libraries the
# build needs, given as CMAKE_SYSROOT (scripts/test-i386 makes one):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake -DCMAKE_SYSROOT=DIR ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

if(NOT CMAKE_SYSROOT)
  message(FATAL_ERROR "set CMAKE_SYSROOT to an i386 tree of the build's libraries")
endif()

# Libraries, headers and CMake packages come from the i386 tree only, never
# from this machine's own; the tools that run during the build are this
# machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
