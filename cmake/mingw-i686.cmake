# Cross-compiles 32-bit Windows executables with MinGW-w64 (i686, posix thread model).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
