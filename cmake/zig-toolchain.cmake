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
# Try-compile projects run this file again: hand them the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HOLVANE_ZIG HOLVANE_GLIBC HOLVANE_ZIG_SHIMS)

set(HOLVANE_ZIG_TARGET "x86_64-linux-gnu.${HOLVANE_GLIBC}")
# The zig program itself is the compiler that a launcher such as ccache sees
# (its identity is the installed binary, not a wrapper script that a fresh
# clone would give a new time stamp); the sub-command and the target are
# mandatory arguments.
set(CMAKE_C_COMPILER "${HOLVANE_ZIG}" cc -target ${HOLVANE_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${HOLVANE_ZIG}" c++ -target ${HOLVANE_ZIG_TARGET})

# Two small C files reach the link through the linker flags (compiled here,
# once per tree): zig-monotonic-wait.c into every program and library, so that
# timed waits keep to the monotonic clock; zig-unload.c into every shared
# library (the plug-ins; not the Python module, which is never unloaded), so
# that it can be unloaded and loaded again as often as a program likes. Each
# file says why.
function(holvane_zig_shim name result)
  set(object "${CMAKE_BINARY_DIR}/${name}-${HOLVANE_GLIBC}.o")
  set(source "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${name}.c")
  if("${source}" IS_NEWER_THAN "${object}")
    execute_process(
      COMMAND "${HOLVANE_ZIG}" cc -target ${HOLVANE_ZIG_TARGET} -O2 -fPIC -Wall -Wextra -Werror
              -c "${source}" -o "${object}"
      RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "compiling ${source} failed:\n${errors}")
    endif()
  endif()
  set(${result} "${object}" PARENT_SCOPE)
endfunction()
if(NOT HOLVANE_ZIG_SHIMS)
  holvane_zig_shim(zig-monotonic-wait wait_object)
  holvane_zig_shim(zig-unload unload_object)
  set(HOLVANE_ZIG_SHIMS "${wait_object};${unload_object}")
endif()
list(GET HOLVANE_ZIG_SHIMS 0 HOLVANE_ZIG_WAIT_OBJECT)
list(GET HOLVANE_ZIG_SHIMS 1 HOLVANE_ZIG_UNLOAD_OBJECT)
set(HOLVANE_ZIG_EXE_SHIMS "${HOLVANE_ZIG_WAIT_OBJECT}")
set(HOLVANE_ZIG_MODULE_SHIMS "${HOLVANE_ZIG_WAIT_OBJECT}")
set(HOLVANE_ZIG_SHARED_SHIMS "${HOLVANE_ZIG_WAIT_OBJECT} ${HOLVANE_ZIG_UNLOAD_OBJECT}")
foreach(kind EXE MODULE SHARED)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${HOLVANE_ZIG_${kind}_SHIMS}")
  # A tree configured before a shim was added gets it too.
  if(DEFINED CACHE{CMAKE_${kind}_LINKER_FLAGS})
    set(flags "$CACHE{CMAKE_${kind}_LINKER_FLAGS}")
    separate_arguments(shims UNIX_COMMAND "${HOLVANE_ZIG_${kind}_SHIMS}")
    foreach(shim IN LISTS shims)
      string(FIND " ${flags} " " ${shim} " found)
      if(found EQUAL -1)
        string(STRIP "${flags} ${shim}" flags)
        set(CMAKE_${kind}_LINKER_FLAGS "${flags}" CACHE STRING "Flags used by the linker" FORCE)
      endif()
    endforeach()
  endif()
endforeach()
