# The board: 32-bit little-endian MIPS, built with Debian's cross compiler
# (g++-mipsel-linux-gnu) against a sysroot of the target's libraries that scripts/mips-sysroot
# fills (DH_MIPS_SYSROOT, build-mips-sysroot/ at the top by default). The C library and
# libstdc++ are the cross compiler's own, under /usr/mipsel-linux-gnu.
#
#   cmake -S . -B build-mips -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
#
# The tests and the build's programs run under qemu-mipsel-static, the cross-compiling
# emulator: it finds the target's loader under /usr/mipsel-linux-gnu (-L) and the sysroot's
# libraries through the target's own LD_LIBRARY_PATH (-E), so programs the tests start on
# the build machine see neither.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(DH_MIPS_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-mips-sysroot" CACHE PATH
    "The target's libraries, unpacked by scripts/mips-sysroot")
get_filename_component(DH_MIPS_SYSROOT "${DH_MIPS_SYSROOT}" ABSOLUTE)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DH_MIPS_SYSROOT)  # the compiler checks' too
set(dh_mips_toolchain_root /usr/mipsel-linux-gnu)
set(dh_mips_libdirs "${DH_MIPS_SYSROOT}/lib/mipsel-linux-gnu" "${DH_MIPS_SYSROOT}/usr/lib/mipsel-linux-gnu")

# Headers and libraries come from the sysroot and the cross compiler's root, programs from the
# build machine.
set(CMAKE_FIND_ROOT_PATH "${DH_MIPS_SYSROOT}" "${dh_mips_toolchain_root}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

# pkg-config reads the sysroot's .pc files only and prefixes their paths with the sysroot.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${DH_MIPS_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${DH_MIPS_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${DH_MIPS_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Headers a .pc file names as /usr/include (which pkg-config leaves out as a system folder)
# and the libraries' own dependencies at link time (libpng's zlib).
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${DH_MIPS_SYSROOT}/usr/include")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${DH_MIPS_SYSROOT}/usr/include")
foreach(dir IN LISTS dh_mips_libdirs)
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -L${dir} -Wl,-rpath-link,${dir}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -L${dir} -Wl,-rpath-link,${dir}")
endforeach()

find_program(DH_QEMU_MIPSEL qemu-mipsel-static)
if(DH_QEMU_MIPSEL)
  list(JOIN dh_mips_libdirs ":" dh_mips_library_path)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${DH_QEMU_MIPSEL}" -L "${dh_mips_toolchain_root}"
      -E "LD_LIBRARY_PATH=${dh_mips_library_path}")
endif()
