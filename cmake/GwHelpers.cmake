# Small helpers shared by the subsystem CMakeLists.

# gw_sources(VAR [EXCLUDE name.cpp ...]): the .cpp files of the current folder.
function(gw_sources var)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(ex IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  set(${var} ${srcs} PARENT_SCOPE)
endfunction()

# gw_tests(LIBS lib... [LABELS label...] [EXCLUDE name.cpp ...]): one test program
# per tests/<folder>/*_test.cpp, registered with ctest. Tests labelled "box" run
# the product inside boardbox and are only built where the sandbox is built.
# A *_inbox_test.cpp runs as a whole inside a box (label "box" too).
# Every test program includes GoogleTest and GoogleMock: one precompiled
# header, made once per build tree and reused by all of them.
function(gw_test_pch)
  if(TARGET gw_test_pch)
    return()
  endif()
  # An executable like the tests, so the header is compiled with their flags.
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/gw_test_pch.cpp CONTENT "int main() { return 0; }\n")
  add_executable(gw_test_pch ${CMAKE_BINARY_DIR}/gw_test_pch.cpp)
  set_target_properties(gw_test_pch PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  target_link_libraries(gw_test_pch PRIVATE GTest::gmock GTest::gtest Threads::Threads)
  target_precompile_headers(gw_test_pch PRIVATE <gmock/gmock.h> <gtest/gtest.h>)
endfunction()

function(gw_tests)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS;EXCLUDE" ${ARGN})
  gw_test_pch()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(ex IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM tests ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  if(NOT GW_BUILD_SIM)
    list(FILTER tests EXCLUDE REGEX "_(box|inbox)_test\\.cpp$")
  endif()
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set_property(DIRECTORY APPEND PROPERTY LABELS ${folder} ${ARG_LABELS})
  foreach(src IN LISTS tests)
    get_filename_component(name ${src} NAME_WE)
    set(target ${folder}_${name})
    add_executable(${target} ${src})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
    target_precompile_headers(${target} REUSE_FROM gw_test_pch)
    target_compile_definitions(${target} PRIVATE
      GW_BUILD_DIR="${CMAKE_BINARY_DIR}" GW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    set(labels ${ARG_LABELS})
    if(name MATCHES "_inbox_test$")
      # The whole program runs inside a box (the product paths are fixed), as
      # one ctest entry; the box names its control socket in BOARDBOX_CONTROL.
      target_link_libraries(${target} PRIVATE boardbox_client)
      add_dependencies(${target} boardbox)
      string(MD5 sock_id "${CMAKE_BINARY_DIR}/${target}")
      string(SUBSTRING ${sock_id} 0 12 sock_id)
      add_test(NAME ${target}
        COMMAND $<TARGET_FILE:boardbox> --control /tmp/bbx-${sock_id}.sock -- $<TARGET_FILE:${target}>)
      set_tests_properties(${target} PROPERTIES LABELS box TIMEOUT 300)
      continue()
    endif()
    if(name MATCHES "_box_test$")
      list(APPEND labels box)
      target_link_libraries(${target} PRIVATE boardbox_client)
      add_dependencies(${target} boardbox)
    endif()
    # The discovered tests' properties pass through a generated script that
    # flattens lists: the folder's labels go on the directory, and a test gets
    # at most the one label "box" of its own.
    if("box" IN_LIST labels)
      gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS box TIMEOUT 300)
    else()
      gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
    endif()
  endforeach()
endfunction()

# gw_library(NAME [EXCLUDE file.cpp ...] [LINKS lib ...]): a static library of the
# folder's .cpp files; an interface library while the folder has headers only.
function(gw_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;LINKS" ${ARGN})
  gw_sources(srcs EXCLUDE ${ARG_EXCLUDE})
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_link_libraries(${name} PUBLIC ${ARG_LINKS} Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_LINKS} Threads::Threads)
  endif()
endfunction()
