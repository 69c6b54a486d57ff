# Cross-building for arm64 Debian with the multiarch toolchain
# (crossbuild-essential-arm64, qtbase5-dev:arm64 and the other :arm64 -dev
# packages that packaging/build-packages.sh installs):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Qt's own tools (moc, uic, rcc) stay the native ones in /usr/lib/qt5/bin, as
# the arm64 Qt CMake files expect. Tests run under qemu's user emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and headers of the arm64 packages, never the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH / /usr/aarch64-linux-gnu)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
set(KRV_DEB_ARCHITECTURE arm64)
# pkg-config reads the arm64 packages' .pc files (libseccomp's), not the build
# machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
