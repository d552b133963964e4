# Shared helpers for every folder's CMakeLists.

# Warnings apply to our own code only (LibTorch and OpenCV headers are SYSTEM includes).
function(orvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# orvane_library(NAME SOURCES ... LIBS ... [PRIVATE_LIBS ...] [HEADERS ...]): a static library of one
# folder, its headers reachable as "folder/header.h" from src/. LIBS are what its headers expose
# (linked PUBLIC, passed on to whoever links it); PRIVATE_LIBS are what only its sources use.
# HEADERS names header-only files of a folder with several targets. Each library is recorded in
# the boundary manifest that scripts/check_boundaries.py reads.
function(orvane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PRIVATE_LIBS;HEADERS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  target_link_libraries(${name} PRIVATE ${ARG_PRIVATE_LIBS})
  orvane_warnings(${name})
  orvane_record_target(${name} SOURCES ${ARG_SOURCES} ${ARG_HEADERS} LIBS ${ARG_LIBS} PRIVATE_LIBS ${ARG_PRIVATE_LIBS})
endfunction()

# orvane_record_target(NAME SOURCES ... LIBS ... PRIVATE_LIBS ...): one line of the boundary
# manifest (written by orvane_write_boundary_manifest once every folder is added).
function(orvane_record_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PRIVATE_LIBS" ${ARGN})
  set(sources "")
  foreach(source IN LISTS ARG_SOURCES)
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    cmake_path(RELATIVE_PATH source BASE_DIRECTORY ${PROJECT_SOURCE_DIR}/src)
    list(APPEND sources ${source})
  endforeach()
  list(JOIN sources "," sources)
  list(JOIN ARG_LIBS "," public)
  list(JOIN ARG_PRIVATE_LIBS "," private)
  set_property(GLOBAL APPEND PROPERTY ORVANE_BOUNDARY_LINES
    "${name}\tsources=${sources}\tpublic=${public}\tprivate=${private}")
endfunction()

function(orvane_write_boundary_manifest path)
  get_property(lines GLOBAL PROPERTY ORVANE_BOUNDARY_LINES)
  list(JOIN lines "\n" text)
  file(WRITE ${path} "${text}\n")
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
