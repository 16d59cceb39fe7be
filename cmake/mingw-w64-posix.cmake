# Cross-compiling for 64-bit Windows with mingw-w64's posix-thread g++
# (std::thread, std::mutex and friends need the posix flavour).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KA_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KA_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KA_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KA_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages: the sysroot first, then the paths as given, CMAKE_PREFIX_PATH
# included. A host built against an installed KaSystem names the install
# prefix there; ONLY would look for that prefix inside the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
