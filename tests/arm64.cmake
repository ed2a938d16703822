# The 64-bit Arm leg: the unit tests built for aarch64, the end-to-end tests against the
# aarch64 velmora, and the aarch64 velmora-inspect on an image, all run under QEMU's user-mode
# emulator. Included from tests/CMakeLists.txt. Where the cross compiler, QEMU or GoogleTest
# for arm64 is missing the leg is left out, and a skipped test named arm64:not-run says which
# is missing.
option(VELMORA_ARM64_TESTS "Also run the tests built for aarch64 under QEMU" ON)
if(NOT VELMORA_ARM64_TESTS OR CMAKE_CROSSCOMPILING)
  return()
endif()

find_program(VELMORA_AARCH64_CXX NAMES aarch64-linux-gnu-g++)
find_program(VELMORA_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
# Multiarch puts the arm64 GoogleTest beside the native one, under the target's triplet.
find_file(VELMORA_AARCH64_GTEST GTestConfig.cmake
          PATHS /usr/lib/aarch64-linux-gnu/cmake/GTest NO_DEFAULT_PATH)
set(missing "")
if(NOT VELMORA_AARCH64_CXX)
  list(APPEND missing "the cross compiler (g++-aarch64-linux-gnu)")
endif()
if(NOT VELMORA_QEMU_AARCH64)
  list(APPEND missing "QEMU (qemu-user-static)")
endif()
if(NOT VELMORA_AARCH64_GTEST)
  list(APPEND missing "GoogleTest for arm64 (libgtest-dev:arm64)")
endif()
if(missing)
  list(JOIN missing " and " missing)
  message(STATUS "arm64 leg of the tests: not run, ${missing} not installed")
  add_test(NAME arm64:not-run
           COMMAND ${CMAKE_COMMAND} -E echo "arm64 leg skipped: ${missing} not installed")
  set_tests_properties(arm64:not-run PROPERTIES SKIP_REGULAR_EXPRESSION "skipped" LABELS arm64)
  return()
endif()
message(STATUS "arm64 leg of the tests: aarch64 programs under ${VELMORA_QEMU_AARCH64}")

# The aarch64 programs and unit tests are built from the same sources by a second CMake run
# with the cross toolchain, in the configuration of the arm64 preset, and rebuilt whenever
# this build runs. Only what the leg runs is built there.
include(ExternalProject)
set(velmora_arm64_dir ${CMAKE_CURRENT_BINARY_DIR}/arm64)
set(velmora_arm64_exe ${velmora_arm64_dir}/velmora)
set(velmora_arm64_inspect ${velmora_arm64_dir}/velmora-inspect)
set(velmora_arm64_unit_tests ${velmora_arm64_dir}/tests/velmora_unit_tests)
ExternalProject_Add(velmora_arm64
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${velmora_arm64_dir}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/aarch64-linux-gnu.cmake
             -DCMAKE_CXX_COMPILER=${VELMORA_AARCH64_CXX}
             -DVELMORA_QEMU_AARCH64=${VELMORA_QEMU_AARCH64}
             -DCMAKE_BUILD_TYPE=Release
             -DVELMORA_WERROR=${VELMORA_WERROR}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR>
                --target velmora velmora-inspect velmora_unit_tests
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${velmora_arm64_exe} ${velmora_arm64_inspect} ${velmora_arm64_unit_tests}
  INSTALL_COMMAND "")

# -L points QEMU at the target's dynamic loader and libraries, which come with the cross
# compiler. The processor QEMU emulates by default in user mode has the CRC32 instructions:
# VELMORA_CPU_FEATURES tells the unit tests so, and they check that the checksum takes them.
set(qemu ${VELMORA_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
list(JOIN qemu " " qemu_runner)

# The unit tests: listed by running the aarch64 test program under QEMU when CTest starts,
# each test named arm64:... .
add_executable(velmora_arm64_unit_tests IMPORTED)
set_target_properties(velmora_arm64_unit_tests PROPERTIES
  IMPORTED_LOCATION ${velmora_arm64_unit_tests}
  CROSSCOMPILING_EMULATOR "${qemu}")
gtest_discover_tests(velmora_arm64_unit_tests
  TEST_PREFIX "arm64:"
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 LABELS arm64 ENVIRONMENT "VELMORA_CPU_FEATURES=crc32")

# The end-to-end tests: the native test binary, its tests named arm64:..., pointed at the
# aarch64 velmora through the environment, with QEMU as its runner. The properties are set by
# a file that CTest reads after the discovered tests, because a list such as the environment
# does not survive gtest_discover_tests' PROPERTIES.
gtest_discover_tests(velmora_cli_tests TEST_PREFIX "arm64:" TEST_LIST velmora_arm64_tests)
set(arm64_test_env "VELMORA_EXE=${velmora_arm64_exe}" "VELMORA_RUNNER=${qemu_runner}")
set(arm64_properties_file ${CMAKE_CURRENT_BINARY_DIR}/arm64_test_properties.cmake)
file(WRITE ${arm64_properties_file}
  "if(velmora_arm64_tests)\n"
  "  set_tests_properties(\${velmora_arm64_tests} PROPERTIES\n"
  "    ENVIRONMENT [==[${arm64_test_env}]==]\n"
  "    TIMEOUT 300 LABELS arm64)\n"
  "endif()\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${arm64_properties_file})

# velmora-inspect for aarch64 must report on an image exactly as the native one does: its
# checksums run through the CRC32 instructions, the native ones do not.
add_test(NAME arm64:velmora-inspect
         COMMAND ${CMAKE_COMMAND}
                 -D "RUNNER=${qemu}" -D ARM64_INSPECT=${velmora_arm64_inspect}
                 -D NATIVE_INSPECT=$<TARGET_FILE:velmora-inspect>
                 -D VELMORA=$<TARGET_FILE:velmora>
                 -D EXAMPLES=${PROJECT_SOURCE_DIR}/examples
                 -D WORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/arm64-inspect
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/arm64_inspect.cmake)
set_tests_properties(arm64:velmora-inspect PROPERTIES TIMEOUT 120 LABELS arm64)
