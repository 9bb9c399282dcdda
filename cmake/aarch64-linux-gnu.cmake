# Cross-compiling for 64-bit ARM Linux (a Raspberry Pi with Debian 12 arm64) on a Debian amd64
# machine, with Debian's cross compiler (crossbuild-essential-arm64) and the arm64 libraries
# installed multiarch beside the host's (qt6-base-dev:arm64 ...). No sysroot: the arm64 headers,
# libraries and CMake packages live in the aarch64-linux-gnu directories of the host's own tree.
# Qt's host tools (moc) come from the host's Qt (qt6-base-dev-tools), found through QT_HOST_PATH.
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# scripts/package.sh --arch arm64 uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(PKTGATE_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${PKTGATE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PKTGATE_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PKTGATE_CROSS_TRIPLET})

# Search the arm64 multiarch directories for libraries, headers and packages only, and the host's
# for programs. Without a sysroot the root path is the host's /, narrowed to the arm64
# directories by CMAKE_LIBRARY_ARCHITECTURE.
set(CMAKE_FIND_ROOT_PATH /usr/${PKTGATE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_PREFIX_PATH /usr/lib/${PKTGATE_CROSS_TRIPLET}/cmake)

# pkg-config (Qt's CMake packages ask it for some libraries) looks at the arm64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${PKTGATE_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# moc and the other build-time tools of the host's Qt.
if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH /usr CACHE PATH "Prefix of the host's Qt with its build tools")
endif()
if(NOT QT_HOST_PATH_CMAKE_DIR)
    execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
        OUTPUT_VARIABLE PKTGATE_BUILD_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET)
    if(PKTGATE_BUILD_MULTIARCH)
        set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${PKTGATE_BUILD_MULTIARCH}/cmake CACHE PATH
            "CMake directory of the host's Qt")
    endif()
endif()

# Test programs run through user-mode emulation (qemu-user-static); the arm64 dynamic loader
# and libraries are the multiarch ones under /.
find_program(PKTGATE_QEMU_AARCH64 qemu-aarch64-static)
if(PKTGATE_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PKTGATE_QEMU_AARCH64};-L;/)
endif()
