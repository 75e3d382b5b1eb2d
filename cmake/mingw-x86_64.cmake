# Cross-build for 64-bit Windows with Debian's mingw-w64: the test build on a host that runs no
# 32-bit code (scripts/windows-arch.sh). The program that ships is the 32-bit build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KARUPDT_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KARUPDT_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KARUPDT_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KARUPDT_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KARUPDT_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
