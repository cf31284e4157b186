# Cross-compiles for Linux arm64 with Debian's cross toolchain (g++-aarch64-linux-gnu), whose
# glibc and libstdc++ live under /usr/aarch64-linux-gnu. The dist-arm64 preset uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The agent opens libpipewire and libpulse at run time and needs only their headers, which
# generate nothing per architecture: the build machine's libpipewire-0.3-dev and libpulse-dev
# serve, and no arm64 library is linked.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig:/usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/pkgconfig")
