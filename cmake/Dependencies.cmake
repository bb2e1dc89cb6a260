# Dependencies come from Debian packages, found with pkg-config where the package ships a .pc
# file. Debian's mbedtls 2.28 ships none, so its crypto library is looked up directly then.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(MBEDCRYPTO QUIET IMPORTED_TARGET mbedcrypto)
if(MBEDCRYPTO_FOUND)
  add_library(dh::mbedcrypto ALIAS PkgConfig::MBEDCRYPTO)
else()
  find_path(MBEDTLS_INCLUDE_DIR mbedtls/des.h REQUIRED)
  find_library(MBEDCRYPTO_LIBRARY mbedcrypto REQUIRED)
  add_library(dh_mbedcrypto INTERFACE)
  target_include_directories(dh_mbedcrypto SYSTEM INTERFACE ${MBEDTLS_INCLUDE_DIR})
  target_link_libraries(dh_mbedcrypto INTERFACE ${MBEDCRYPTO_LIBRARY})
  add_library(dh::mbedcrypto ALIAS dh_mbedcrypto)
endif()

pkg_check_modules(GTEST REQUIRED IMPORTED_TARGET gtest)
pkg_check_modules(GMOCK REQUIRED IMPORTED_TARGET gmock)
pkg_check_modules(GTEST_MAIN REQUIRED IMPORTED_TARGET gtest_main)
