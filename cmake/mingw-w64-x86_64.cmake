# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix threads
# flavour, so std::thread and std::mutex work). Programs run on this machine
# under wine through wine-run.sh, which is how ctest starts the test programs.
#
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAMSOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TAMSOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAMSOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${TAMSOR_MINGW_TRIPLE}-windres)
set(CMAKE_AR     /usr/bin/${TAMSOR_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${TAMSOR_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Look for headers and libraries only in the mingw sysroot and in the
# prefixes given through CMAKE_PREFIX_PATH (our own expat and GoogleTest);
# look for build tools on this machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TAMSOR_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything links statically (libgcc, libstdc++, winpthread), so an .exe
# runs on its own, under wine or on a real Windows machine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# ctest and add_custom_command run Windows programs through wine (another
# emulator can be given with -DCMAKE_CROSSCOMPILING_EMULATOR=...).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh
    CACHE FILEPATH "Runs the Windows programs built here")
