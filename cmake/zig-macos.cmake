# Cross-build for macOS with zig's clang, which carries macOS's headers and libc++ and links
# against stubs of its system libraries: the tool and the tests are compiled and linked, not run.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake -DZIG=/path/to/zig -DMACOS_ARCH=x86_64
# MACOS_ARCH is aarch64 (the default) or x86_64.
set(CMAKE_SYSTEM_NAME Darwin)
if(NOT MACOS_ARCH)
  set(MACOS_ARCH aarch64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${MACOS_ARCH})
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG MACOS_ARCH)  # the checks' own builds need them too
if(NOT ZIG)
  find_program(ZIG zig REQUIRED)
endif()

# CMake takes one program for each tool, so each zig subcommand gets a small wrapper.
set(zig_tools ${CMAKE_BINARY_DIR}/zig-tools)
foreach(tool cc c++ ar ranlib)
  set(args ${tool})
  if(tool STREQUAL "cc" OR tool STREQUAL "c++")
    set(args "${tool} -target ${MACOS_ARCH}-macos")
  endif()
  file(WRITE ${zig_tools}/zig-${tool} "#!/bin/sh\nexec '${ZIG}' ${args} \"$@\"\n")
  file(CHMOD ${zig_tools}/zig-${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${zig_tools}/zig-cc)  # GoogleTest's project enables C
set(CMAKE_CXX_COMPILER ${zig_tools}/zig-c++)
set(CMAKE_AR ${zig_tools}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${zig_tools}/zig-ranlib CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL true CACHE FILEPATH "")  # nothing is installed from this build
