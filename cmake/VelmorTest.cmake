# velmor_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
# The label "slow" keeps a test out of the sanitized run (peer checks, big files); the label
# "threads" also runs it under ThreadSanitizer, and the target velmor_threads_tests builds those.
# One GoogleTest program per call, registered as one ctest test. On the Win32 build the
# program runs under Wine in the project's own prefix with the GBK code page and a fixed
# time zone; scripts/winebed.sh keeps a warm wine server for it.
set(VELMOR_TEST_TZ "Asia/Shanghai")
set(VELMOR_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")

function(velmor_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if("threads" IN_LIST T_LABELS)
    if(NOT TARGET velmor_threads_tests)
      add_custom_target(velmor_threads_tests)
    endif()
    add_dependencies(velmor_threads_tests ${name})
  endif()
  if(WIN32)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
      "WINEPREFIX=${VELMOR_WINEPREFIX};WINEDEBUG=-all;LC_ALL=zh_CN.UTF-8;TZ=${VELMOR_TEST_TZ}")
  else()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "TZ=${VELMOR_TEST_TZ}")
  endif()
endfunction()
