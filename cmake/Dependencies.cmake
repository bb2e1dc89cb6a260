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

# Images: libpng decodes the host's PNG overlays; libturbojpeg stands in for the board's JPEG
# decoder on a PC and makes test pictures.
pkg_check_modules(PNG REQUIRED IMPORTED_TARGET libpng16)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)

# The simulated display platform (platform/sim) scales decoded JPEG pictures with libswscale
# when it is there. Without it (a cross build, or -DDH_WITH_SWSCALE=OFF) a small scaler of its
# own does the last step of the fit.
pkg_check_modules(SWSCALE QUIET IMPORTED_TARGET libswscale)
pkg_check_modules(AVUTIL QUIET IMPORTED_TARGET libavutil)
if(SWSCALE_FOUND AND AVUTIL_FOUND)
  option(DH_WITH_SWSCALE "Scale JPEG pictures with libswscale in the simulated platform" ON)
else()
  option(DH_WITH_SWSCALE "Scale JPEG pictures with libswscale in the simulated platform" OFF)
endif()
if(DH_WITH_SWSCALE AND NOT (SWSCALE_FOUND AND AVUTIL_FOUND))
  message(FATAL_ERROR "DH_WITH_SWSCALE is ON but libswscale or libavutil was not found (libswscale-dev, libavutil-dev)")
endif()

# The simulated H.264 decoder decodes with libavcodec when it is there. Without it (a cross
# build, or -DDH_WITH_AVCODEC=OFF) a stand-in that decodes no pictures is built instead.
pkg_check_modules(AVCODEC QUIET IMPORTED_TARGET libavcodec)
if(AVCODEC_FOUND)
  option(DH_WITH_AVCODEC "Decode H.264 with libavcodec in the simulated platform" ON)
else()
  option(DH_WITH_AVCODEC "Decode H.264 with libavcodec in the simulated platform" OFF)
endif()
if(DH_WITH_AVCODEC AND NOT AVCODEC_FOUND)
  message(FATAL_ERROR "DH_WITH_AVCODEC is ON but libavcodec was not found (libavcodec-dev)")
endif()
if(DH_WITH_AVCODEC AND NOT DH_WITH_SWSCALE)
  message(FATAL_ERROR "DH_WITH_AVCODEC needs libswscale and libavutil too (DH_WITH_SWSCALE)")
endif()

# The host tools: dhhost's command line (CLI11) and the JSON that dhhost and dhmcu write
# (nlohmann-json). Both are header-only.
pkg_check_modules(CLI11 REQUIRED IMPORTED_TARGET CLI11)
pkg_check_modules(NLOHMANN_JSON REQUIRED IMPORTED_TARGET nlohmann_json)
