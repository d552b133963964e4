# Shared helpers for every folder's CMakeLists.

# Warnings apply to our own code only (LibTorch and OpenCV headers are SYSTEM includes).
function(orvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# orvane_library(NAME SOURCES ... LIBS ...): a static library of one folder, its headers
# reachable as "folder/header.h" from src/.
function(orvane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  orvane_warnings(${name})
endfunction()

# orvane_test(NAME LABEL unit|gui|engine|e2e SOURCES ... LIBS ... [TIMEOUT s])
# One GoogleTest executable registered as one CTest test. Widget tests run offscreen.
function(orvane_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  orvane_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ORVANE_BIN_DIR=${CMAKE_BINARY_DIR}/bin;ORVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
