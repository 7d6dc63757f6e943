# Cross-compiles 64-bit Windows executables with MinGW-w64 (x86_64, posix thread model): a check of
# the source and a test leg for machines that run no 32-bit code, never a build for players.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
