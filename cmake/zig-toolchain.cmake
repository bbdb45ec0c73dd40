# Builds for x86-64 Linux with a given glibc as the oldest one the products
# run on, using zig's C/C++ compiler: its glibc stubs stop the linker at that
# version's symbols, and its own C++ standard library (libc++, libc++abi,
# libunwind) is linked statically into every shared object and program, so
# they need no C++ runtime of the machine they run on. Every C++ product of a
# tree (module, plug-ins, simulator) comes from this one toolchain, so they
# agree on the standard library's types that cross the plug-in interface.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake [-DHOLVANE_ZIG=/path/zig]
#         [-DHOLVANE_GLIBC=2.28] ...
#
# zig comes from the `ziglang` package (pip install ziglang): HOLVANE_ZIG (or
# the environment variable of that name) names the program, else it is looked
# up on the PATH.
# The build machine is x86-64 Linux too, so this is no cross build: the
# Python interpreter of the build is asked for its headers as usual.
set(HOLVANE_GLIBC "2.28" CACHE STRING "Oldest glibc the products run on (zig target x86_64-linux-gnu.<version>)")
if(NOT HOLVANE_ZIG AND DEFINED ENV{HOLVANE_ZIG})
  set(HOLVANE_ZIG "$ENV{HOLVANE_ZIG}")
endif()
if(NOT HOLVANE_ZIG)
  find_program(HOLVANE_ZIG_FOUND zig)
  set(HOLVANE_ZIG "${HOLVANE_ZIG_FOUND}")
endif()
if(NOT HOLVANE_ZIG OR NOT EXISTS "${HOLVANE_ZIG}")
  message(FATAL_ERROR "zig not found: pip install ziglang, then pass -DHOLVANE_ZIG=<site-packages>/ziglang/zig")
endif()
set(HOLVANE_ZIG "${HOLVANE_ZIG}" CACHE FILEPATH "zig program" FORCE)
# Try-compile projects run this file again: hand them the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HOLVANE_ZIG HOLVANE_GLIBC)

set(HOLVANE_ZIG_TARGET "x86_64-linux-gnu.${HOLVANE_GLIBC}")
# The zig program itself is the compiler that a launcher such as ccache sees
# (its identity is the installed binary, not a wrapper script that a fresh
# clone would give a new time stamp); the sub-command and the target are
# mandatory arguments.
set(CMAKE_C_COMPILER "${HOLVANE_ZIG}" cc -target ${HOLVANE_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${HOLVANE_ZIG}" c++ -target ${HOLVANE_ZIG_TARGET})
