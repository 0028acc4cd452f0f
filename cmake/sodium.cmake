# libsodium: Debian's libsodium-dev natively; for Windows a static library
# built from Debian's libsodium source package, which scripts/setup unpacks.
# Only the portable C implementations are compiled: the build needs no
# autotools run, and one signature check and a SHA-256 per download don't
# need the SIMD variants.
if(WIN32)
  set(_na ${CORVEL_SODIUM_SRC}/src/libsodium)
  if(NOT EXISTS ${_na}/crypto_sign/ed25519/sign_ed25519.c)
    message(FATAL_ERROR "libsodium sources not found in ${CORVEL_SODIUM_SRC}: run scripts/setup")
  endif()
  # version.h is the one header configure generates; its numbers come from
  # the same configure.ac.
  file(READ ${CORVEL_SODIUM_SRC}/configure.ac _ac)
  string(REGEX MATCH "AC_INIT\\(\\[libsodium\\],\\[([0-9.]+)\\]" _ ${_ac})
  set(VERSION ${CMAKE_MATCH_1})
  string(REGEX MATCH "SODIUM_LIBRARY_VERSION_MAJOR=([0-9]+)" _ ${_ac})
  set(SODIUM_LIBRARY_VERSION_MAJOR ${CMAKE_MATCH_1})
  string(REGEX MATCH "SODIUM_LIBRARY_VERSION_MINOR=([0-9]+)" _ ${_ac})
  set(SODIUM_LIBRARY_VERSION_MINOR ${CMAKE_MATCH_1})
  set(SODIUM_LIBRARY_MINIMAL_DEF "")
  # The headers are copied beside it, since version.h includes them by
  # their bare names.
  set(_gen ${CMAKE_BINARY_DIR}/sodium-include)
  file(COPY ${_na}/include/ DESTINATION ${_gen} PATTERN "*.in" EXCLUDE PATTERN "Makefile*" EXCLUDE)
  configure_file(${_na}/include/sodium/version.h.in ${_gen}/sodium/version.h @ONLY)

  file(GLOB_RECURSE _na_sources CONFIGURE_DEPENDS ${_na}/*.c)
  add_library(sodium_static STATIC ${_na_sources})
  target_include_directories(sodium_static SYSTEM PUBLIC ${_gen})
  target_include_directories(sodium_static PRIVATE ${_gen}/sodium)
  # What configure finds on x86_64 MinGW for the portable code: little
  # endian, 128-bit integers (the faster field arithmetic of Ed25519).
  target_compile_definitions(sodium_static PUBLIC SODIUM_STATIC PRIVATE NATIVE_LITTLE_ENDIAN=1 HAVE_TI_MODE=1)
  target_compile_options(sodium_static PRIVATE -O2 -w)
  # randombytes uses RtlGenRandom.
  target_link_libraries(sodium_static PUBLIC advapi32)
  add_library(corvel_sodium INTERFACE)
  target_link_libraries(corvel_sodium INTERFACE sodium_static)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  add_library(corvel_sodium INTERFACE)
  target_link_libraries(corvel_sodium INTERFACE PkgConfig::SODIUM)
endif()
