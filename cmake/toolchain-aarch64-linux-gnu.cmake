# Cross build for AArch64 Linux boards with Debian's g++-aarch64-linux-gnu.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
# Dependencies come from Debian's multiarch arm64 packages (scripts/setup-arm64.sh installs them):
# libraries and CMake packages under /usr/lib/aarch64-linux-gnu, arch-specific headers under
# /usr/include/aarch64-linux-gnu. Test programs run through qemu-aarch64, so ctest works unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QUORVANE_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QUORVANE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVANE_CROSS_TRIPLET}-g++)

# Makes find_library and find_package look in lib/aarch64-linux-gnu (never in the host's
# lib/x86_64-linux-gnu) and GNUInstallDirs use the multiarch library folder under /usr.
set(CMAKE_LIBRARY_ARCHITECTURE ${QUORVANE_CROSS_TRIPLET})

# The cross C library lives in /usr/aarch64-linux-gnu; everything else in the multiarch folders
# of the host root. Programs (compilers, code generators) are always the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVANE_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindCURL asks pkg-config first; the host's pkg-config would answer with the amd64 libcurl.pc
# (include and library paths of x86_64-linux-gnu). Point it at the arm64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${QUORVANE_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# ctest (and gtest_discover_tests, which lists the cases by running the program) starts every
# target program through the emulator. -L makes it load the cross dynamic linker; the library path
# makes that linker take the C and C++ runtime it belongs with (the one the programs were linked
# against) from the same folder, and only the other libraries from the arm64 multiarch folders.
find_program(QUORVANE_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(QUORVANE_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVANE_QEMU_AARCH64} -L /usr/${QUORVANE_CROSS_TRIPLET}
        -E LD_LIBRARY_PATH=/usr/${QUORVANE_CROSS_TRIPLET}/lib)
endif()
