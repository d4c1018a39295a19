# The codec libraries CHD needs, as one target, velmor_codecs. The host takes Debian's
# packages. The Win32 tree takes zlib from Debian's mingw package and cross-builds liblzma,
# libFLAC and libzstd once, at the first configure, from the Debian source packages that
# scripts/install-deps.sh fetched, into the build tree (static libraries only).
add_library(velmor_codecs INTERFACE)

if(NOT WIN32)
  find_package(ZLIB REQUIRED)
  find_package(LibLZMA REQUIRED)
  find_library(VELMOR_FLAC_LIBRARY FLAC REQUIRED)
  find_path(VELMOR_FLAC_INCLUDE FLAC/stream_decoder.h REQUIRED)
  find_library(VELMOR_ZSTD_LIBRARY zstd REQUIRED)
  find_path(VELMOR_ZSTD_INCLUDE zstd.h REQUIRED)
  target_include_directories(velmor_codecs INTERFACE ${VELMOR_FLAC_INCLUDE} ${VELMOR_ZSTD_INCLUDE})
  target_link_libraries(velmor_codecs INTERFACE ZLIB::ZLIB LibLZMA::LibLZMA ${VELMOR_FLAC_LIBRARY}
                                                ${VELMOR_ZSTD_LIBRARY})
  return()
endif()

# The programs are linked statically: zlib's archive, not its DLL's import library.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
set(codec_sources ${PROJECT_SOURCE_DIR}/build/codec-sources)
set(codec_prefix ${CMAKE_BINARY_DIR}/codecs)

# name: the source package; options: its own CMake options; cmake_dir: where its CMakeLists is
function(velmor_cross_build_codec name library cmake_dir)
  set(dir_file ${codec_sources}/${name}.dir)
  if(NOT EXISTS ${dir_file})
    message(FATAL_ERROR "${name}'s source is missing: run scripts/install-deps.sh")
  endif()
  file(STRINGS ${dir_file} tree LIMIT_COUNT 1)
  set(stamp ${codec_prefix}/${tree}.built)
  if(EXISTS ${stamp} AND EXISTS ${codec_prefix}/lib/${library})
    return()
  endif()
  message(STATUS "Cross-building ${tree} (once)")
  set(binary ${codec_prefix}/build/${name})
  file(REMOVE_RECURSE ${binary})
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${codec_sources}/${name}/${tree}/${cmake_dir} -B ${binary} -G Ninja
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${codec_prefix} -DBUILD_SHARED_LIBS=OFF ${ARGN}
    RESULT_VARIABLE failed OUTPUT_QUIET)
  if(NOT failed)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${binary} -j 2 RESULT_VARIABLE failed
                    OUTPUT_QUIET)
  endif()
  if(NOT failed)
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${binary} RESULT_VARIABLE failed
                    OUTPUT_QUIET)
  endif()
  if(failed)
    message(FATAL_ERROR "Cross-building ${tree} failed; see ${binary}")
  endif()
  file(TOUCH ${stamp})
endfunction()

velmor_cross_build_codec(xz-utils liblzma.a .)
velmor_cross_build_codec(flac libFLAC.a . -DBUILD_CXXLIBS=OFF -DBUILD_PROGRAMS=OFF
  -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DBUILD_DOCS=OFF -DINSTALL_MANPAGES=OFF -DWITH_OGG=OFF
  -DWITH_STACK_PROTECTOR=OFF -DWITH_FORTIFY_SOURCE=OFF)
velmor_cross_build_codec(libzstd libzstd.a build/cmake -DZSTD_BUILD_PROGRAMS=OFF
  -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_TESTS=OFF -DZSTD_LEGACY_SUPPORT=OFF
  -DZSTD_MULTITHREAD_SUPPORT=OFF)

target_include_directories(velmor_codecs INTERFACE ${codec_prefix}/include)
# Static libraries: their headers must not declare the functions as imported from a DLL.
target_compile_definitions(velmor_codecs INTERFACE LZMA_API_STATIC FLAC__NO_DLL)
target_link_libraries(velmor_codecs INTERFACE ${codec_prefix}/lib/libFLAC.a
  ${codec_prefix}/lib/liblzma.a ${codec_prefix}/lib/libzstd.a ZLIB::ZLIB)
