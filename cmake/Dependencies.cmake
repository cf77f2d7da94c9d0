find_package(Threads REQUIRED)
find_package(Qt6 6.2 REQUIRED COMPONENTS Core Gui Widgets Network Test)
find_package(PkgConfig REQUIRED)

pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)

# Debian ships libyuv without a pkg-config file; fall back to the plain header and library.
pkg_check_modules(YUV IMPORTED_TARGET libyuv)
if(YUV_FOUND)
  add_library(tavrik::yuv ALIAS PkgConfig::YUV)
else()
  find_path(YUV_INCLUDE_DIR libyuv.h REQUIRED)
  find_library(YUV_LIBRARY NAMES yuv REQUIRED)
  add_library(tavrik_yuv INTERFACE IMPORTED)
  target_include_directories(tavrik_yuv SYSTEM INTERFACE ${YUV_INCLUDE_DIR})
  target_link_libraries(tavrik_yuv INTERFACE ${YUV_LIBRARY})
  add_library(tavrik::yuv ALIAS tavrik_yuv)
endif()

if(TAVRIK_BUILD_SIM)
  pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0 glib-2.0 gobject-2.0 gio-2.0)
  find_program(UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)
endif()
