# libbz2: Debian's libbz2-dev natively; for Windows a static library built
# from Debian's bzip2 source package, which scripts/setup unpacks.
if(WIN32)
  set(_bz ${CORVEL_BZIP2_SRC})
  if(NOT EXISTS ${_bz}/bzlib.c)
    message(FATAL_ERROR "bzip2 sources not found in ${_bz}: run scripts/setup")
  endif()
  add_library(bz2_static STATIC
    ${_bz}/blocksort.c ${_bz}/huffman.c ${_bz}/crctable.c ${_bz}/randtable.c
    ${_bz}/compress.c ${_bz}/decompress.c ${_bz}/bzlib.c)
  target_include_directories(bz2_static SYSTEM PUBLIC ${_bz})
  # -O3: the decoder's inner loops are measurably faster than at -O2.
  target_compile_options(bz2_static PRIVATE -O3 -w)
  add_library(BZip2::BZip2 ALIAS bz2_static)
else()
  find_package(BZip2 REQUIRED)
endif()
