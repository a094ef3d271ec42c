# Cross-build for i686 Windows with MinGW-w64 (Debian: g++-mingw-w64-i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
