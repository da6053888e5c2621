# Cross-compiling the Windows executables on Linux with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix):
#
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake && cmake --build build-windows -j2
#
# gives build-windows/dendro-*/dendro-*.exe, statically linked: nothing to
# ship beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DENDRO_MINGW_PREFIX x86_64-w64-mingw32)
# The posix flavour: std::thread on winpthreads (the win32 flavour of GCC 12
# has no std::thread).
set(CMAKE_CXX_COMPILER ${DENDRO_MINGW_PREFIX}-g++-posix)
set(CMAKE_C_COMPILER ${DENDRO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_RC_COMPILER ${DENDRO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DENDRO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads linked in: no DLL beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# 64-bit Windows only guarantees 16-byte stack alignment and GCC cannot
# realign the stack there, so spilled AVX registers may sit at addresses
# that the aligned moves fault on; the assembler writes every such move in
# its unaligned form (same speed on aligned data).
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# Lets CTest and test discovery run the executables on Linux through wine.
find_program(DENDRO_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(DENDRO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DENDRO_WINE})
endif()
