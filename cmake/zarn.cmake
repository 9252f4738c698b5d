# Helpers shared by the targets of the project.

# A host program: links the whole runtime library and exports its symbols
# (mysql_r, conf_file, extern_error_log, the library routines) to the modules it loads.
function(zarn_host_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,zarn>" ${CMAKE_DL_LIBS})
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
endfunction()

# A module loaded by a host with dlopen: no "lib" prefix, symbols of the
# runtime library resolved against the host at load time.
function(zarn_module name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "")
  target_link_libraries(${name} PRIVATE zarn_headers)
endfunction()

# Where the test rig keeps its private database server and installed root.
set(ZARN_TEST_DB_DIR "${CMAKE_BINARY_DIR}/testdb")
set(ZARN_TEST_ROOT "${CMAKE_BINARY_DIR}/root")

# Tests against the private database server (started by the db_server fixture).
function(zarn_db_test target)
  gtest_discover_tests(${target}
    DISCOVERY_TIMEOUT 30
    PROPERTIES LABELS db FIXTURES_REQUIRED db_server TIMEOUT 120)
endfunction()

# Tests on the real kernel and the installed layout: the binary re-runs itself
# inside the sandbox (private mount and network namespaces, root over /zarn).
# Extra test properties may follow the label (e.g. RESOURCE_LOCK capture).
function(zarn_sandboxed_test target label)
  gtest_discover_tests(${target}
    DISCOVERY_TIMEOUT 30
    PROPERTIES LABELS ${label} FIXTURES_REQUIRED sandbox_rig TIMEOUT 300 ${ARGN})
endfunction()

# A unit test beside its sources: NAME SOURCES... [LIBS libraries...]; GoogleTest's main is linked.
function(zarn_unit_test name)
  cmake_parse_arguments(UNIT "" "" "LIBS" ${ARGN})
  add_executable(${name} ${UNIT_UNPARSED_ARGUMENTS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${UNIT_LIBS} GTest::gtest_main)
  gtest_discover_tests(${name} PROPERTIES LABELS unit DISCOVERY_TIMEOUT 30)
endfunction()
