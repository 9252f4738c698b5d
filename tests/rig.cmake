# The test rig's libraries, made before the programs because the programs'
# own tests (beside their sources) link them: support for tests on real parts
# (the private database, the installed root, the sandbox, running the runner
# as its caller), the sandbox's main(), subscriber LANs.
set(ZARN_TESTS_DIR ${PROJECT_SOURCE_DIR}/tests)
add_library(zarn_testing STATIC ${ZARN_TESTS_DIR}/testing.cc)
target_include_directories(zarn_testing PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(zarn_testing PUBLIC zarn GTest::gtest)
target_compile_definitions(zarn_testing PUBLIC
  ZARN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  ZARN_TEST_DB_DIR="${ZARN_TEST_DB_DIR}"
  ZARN_TEST_ROOT="${ZARN_TEST_ROOT}")

# main() of tests that must run inside the sandbox: re-runs the binary there.
add_library(zarn_sandbox_main STATIC ${ZARN_TESTS_DIR}/sandbox_main.cc)
target_link_libraries(zarn_sandbox_main PUBLIC zarn_testing)

# Subscriber LANs (a bridge and host namespaces in the sandbox) for the ARP
# tools and the ARP monitor.
add_library(zarn_lan STATIC ${ZARN_TESTS_DIR}/subscriber_lan.cc)
target_link_libraries(zarn_lan PUBLIC zarn_testing)

# The access module's test scene (database rows, the module called through the
# module host, the kernel's sets and rules read back).
add_library(zarn_access_fixture STATIC ${ZARN_TESTS_DIR}/access_fixture.cc)
target_link_libraries(zarn_access_fixture PUBLIC zarn_testing)
target_compile_definitions(zarn_access_fixture PRIVATE ZARN_MODULE_HOST="$<TARGET_FILE:module_host>")
