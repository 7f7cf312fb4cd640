# kqs_module(NAME DEPS ... TEST_DEPS ...)
# Builds every *.cpp of the calling folder into a static library NAME, except
# *_test.cpp (linked into NAME_tests and registered with CTest) and *_main.cpp
# (program entry points, added by the folder itself).
function(kqs_module NAME)
  cmake_parse_arguments(M "" "" "DEPS;TEST_DEPS;TEST_LABELS" ${ARGN})
  file(GLOB _all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(_src)
  set(_tests)
  foreach(_f IN LISTS _all)
    if(_f MATCHES "_test\\.cpp$")
      list(APPEND _tests ${_f})
    elseif(NOT _f MATCHES "_main\\.cpp$")
      list(APPEND _src ${_f})
    endif()
  endforeach()
  if(_src)
    add_library(${NAME} STATIC ${_src})
    target_include_directories(${NAME} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${NAME} PUBLIC ${M_DEPS} Threads::Threads)
  else()
    add_library(${NAME} INTERFACE)
    target_include_directories(${NAME} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${NAME} INTERFACE ${M_DEPS} Threads::Threads)
  endif()
  if(KQS_BUILD_TESTS AND _tests)
    add_executable(${NAME}_tests ${_tests})
    target_link_libraries(${NAME}_tests PRIVATE ${NAME} ${M_TEST_DEPS} kqs_testing GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${NAME}_tests DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT 120 LABELS "${M_TEST_LABELS}")
  endif()
endfunction()

# kqs_cheap_start(TARGET)
# For the LP service's programs, started once per LP command: the C++
# runtime linked in rather than loaded, which saves each start about a
# millisecond of dynamic linking. (Not under the sanitizers, whose runtime
# wants the shared one.)
function(kqs_cheap_start TARGET)
  if(NOT KQS_SANITIZE AND NOT KQS_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_link_options(${TARGET} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
