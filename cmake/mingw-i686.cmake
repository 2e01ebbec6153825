# Cross-compiles the shipped 32-bit Windows programs with MinGW-w64 on Debian.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
