# Cross-builds a 64-bit Windows quarnel.exe with Debian's mingw-w64
# (package g++-mingw-w64-x86-64-win32). The executable is linked statically,
# so that it runs on a bare Windows without the compiler's DLLs. Where Wine is
# installed, the end-to-end tests run the executable under it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
find_program(QUARNEL_WINE NAMES wine wine64)
if(QUARNEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARNEL_WINE})
endif()
