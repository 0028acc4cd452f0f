# libzstd: Debian's libzstd-dev natively; for Windows a static library
# built from Debian's libzstd source package, which scripts/setup unpacks.
# Compression and decompression (the publisher makes patches, the client and
# the tests apply them), without the legacy formats, dictionary builder,
# assembly or threads.
set(CORVEL_ZSTD_SRC "${CMAKE_SOURCE_DIR}/.deps/zstd" CACHE PATH "zstd source tree (Debian source package)")
if(WIN32)
  set(_zs ${CORVEL_ZSTD_SRC}/lib)
  if(NOT EXISTS ${_zs}/zstd.h)
    message(FATAL_ERROR "zstd sources not found in ${CORVEL_ZSTD_SRC}: run scripts/setup")
  endif()
  file(GLOB _zs_sources CONFIGURE_DEPENDS ${_zs}/common/*.c ${_zs}/compress/*.c ${_zs}/decompress/*.c)
  add_library(zstd_static STATIC ${_zs_sources})
  target_include_directories(zstd_static SYSTEM PUBLIC ${_zs})
  target_compile_definitions(zstd_static PRIVATE ZSTD_DISABLE_ASM=1 ZSTD_LEGACY_SUPPORT=0)
  target_compile_options(zstd_static PRIVATE -O3 -w)
  add_library(corvel_zstd INTERFACE)
  target_link_libraries(corvel_zstd INTERFACE zstd_static)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
  add_library(corvel_zstd INTERFACE)
  target_link_libraries(corvel_zstd INTERFACE PkgConfig::ZSTD)
endif()
