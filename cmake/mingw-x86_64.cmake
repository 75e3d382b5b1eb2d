# Cross-build for 64-bit Windows with Debian's mingw-w64: the test build on a host that runs no
# 32-bit code (scripts/windows-arch.sh). The program that ships is the 32-bit build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KARUPDT_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
