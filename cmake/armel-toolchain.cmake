# Cross build for the gateway board: ARM926EJ-S (ARMv5TE, little-endian, soft
# float) with Debian's arm-linux-gnueabi compilers.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armel-toolchain.cmake -DGW_ARMEL_SYSROOT=DIR ...
#
# DIR is a tree of Debian armel packages unpacked with dpkg -x (scripts/build-armel
# makes one): the -dev packages the product links against and the runtime
# libraries, including the C library and its loader, that the programs load under
# qemu-arm. The compiler keeps its own C and C++ headers; libraries and pkg-config
# files come from DIR only, never from the host.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

set(GW_ARMEL_SYSROOT "" CACHE PATH "Tree of unpacked Debian armel packages")
# try_compile projects read this file again in their own build directory.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GW_ARMEL_SYSROOT)
if(NOT GW_ARMEL_SYSROOT OR NOT IS_DIRECTORY "${GW_ARMEL_SYSROOT}/usr/lib/arm-linux-gnueabi")
  message(FATAL_ERROR "GW_ARMEL_SYSROOT must name an unpacked armel tree (scripts/build-armel makes one)")
endif()

set(CMAKE_SYSROOT "${GW_ARMEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${GW_ARMEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The board's core, exactly; the compiler's default is generic ARMv5TE.
# -Wno-psabi: GCC notes at every std::pair/vector of 64-bit members that their
# passing changed in GCC 7.1; everything here is built by one compiler.
set(CMAKE_C_FLAGS_INIT "-mcpu=arm926ej-s -mfloat-abi=soft -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-mcpu=arm926ej-s -mfloat-abi=soft -Wno-psabi")
# -O3 buys nothing on this core but code size. (The _INIT variables would only
# be put in front of CMake's own -O3.)
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags for Release builds")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags for Release builds")

# ARMv5 has no 64-bit atomic instructions: GCC calls libatomic for them. Only
# what uses them records the dependency.
set(CMAKE_C_STANDARD_LIBRARIES "-Wl,--push-state,--as-needed -latomic -Wl,--pop-state")
set(CMAKE_CXX_STANDARD_LIBRARIES "-Wl,--push-state,--as-needed -latomic -Wl,--pop-state")

# pkg-config must see the armel .pc files only, with their paths under the tree.
set(ENV{PKG_CONFIG_LIBDIR}
    "${GW_ARMEL_SYSROOT}/usr/lib/arm-linux-gnueabi/pkgconfig:${GW_ARMEL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${GW_ARMEL_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs (and gtest_discover_tests at build time) run under user-mode
# emulation of the board's core. The loader and every library come from the one
# tree: a loader from the cross toolchain with another tree's C library breaks
# threaded programs.
find_program(GW_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${GW_QEMU_ARM};-cpu;arm926;-L;${GW_ARMEL_SYSROOT}")
