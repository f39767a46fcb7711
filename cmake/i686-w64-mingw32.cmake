# Cross build of the 32-bit Windows kernel driver with Debian's mingw-w64
# (g++-mingw-w64-i686-win32, binutils-mingw-w64-i686). Only the driver is built.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KORVAX_MINGW_TRIPLE i686-w64-mingw32)

# The win32 thread model variant is the one the driver was written against; the
# unsuffixed name is Debian's alternative that points at an installed variant.
find_program(CMAKE_C_COMPILER NAMES ${KORVAX_MINGW_TRIPLE}-gcc-win32 ${KORVAX_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KORVAX_MINGW_TRIPLE}-g++-win32 ${KORVAX_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KORVAX_MINGW_TRIPLE}-windres)
find_program(CMAKE_OBJDUMP NAMES ${KORVAX_MINGW_TRIPLE}-objdump REQUIRED)
find_program(CMAKE_NM NAMES ${KORVAX_MINGW_TRIPLE}-nm REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVAX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
