# The Windows leg: the end-to-end tests once more, against velmora.exe cross-compiled with
# MinGW-w64 and run under Wine. Included from tests/CMakeLists.txt. Where MinGW-w64 or Wine is
# missing the leg is left out, and a skipped test named wine:not-run says which is missing.
option(VELMORA_WINE_TESTS "Also run the end-to-end tests against velmora.exe under Wine" ON)
if(NOT VELMORA_WINE_TESTS OR CMAKE_CROSSCOMPILING)
  return()
endif()

find_program(VELMORA_MINGW_CXX NAMES x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++)
find_program(VELMORA_WINE NAMES wine)
find_program(VELMORA_WINESERVER NAMES wineserver PATHS /usr/lib/wine)
set(missing "")
if(NOT VELMORA_MINGW_CXX)
  list(APPEND missing "MinGW-w64 (g++-mingw-w64-x86-64)")
endif()
if(NOT VELMORA_WINE OR NOT VELMORA_WINESERVER)
  list(APPEND missing "Wine (wine)")
endif()
if(missing)
  list(JOIN missing " and " missing)
  message(STATUS "Windows leg of the tests: not run, ${missing} not installed")
  add_test(NAME wine:not-run
           COMMAND ${CMAKE_COMMAND} -E echo "Windows leg skipped: ${missing} not installed")
  set_tests_properties(wine:not-run PROPERTIES SKIP_REGULAR_EXPRESSION "skipped" LABELS wine)
  return()
endif()
message(STATUS "Windows leg of the tests: velmora.exe under ${VELMORA_WINE}")

# velmora.exe is built from the same sources by a second CMake run with the MinGW-w64
# toolchain, in the same configuration as the windows preset, and rebuilt whenever this
# build runs. Only the two programs are built there: they are what these tests run.
include(ExternalProject)
set(velmora_windows_dir ${CMAKE_CURRENT_BINARY_DIR}/windows)
set(velmora_exe ${velmora_windows_dir}/velmora.exe)
set(velmora_inspect_exe ${velmora_windows_dir}/velmora-inspect.exe)
ExternalProject_Add(velmora_windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${velmora_windows_dir}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
             -DCMAKE_CXX_COMPILER=${VELMORA_MINGW_CXX}
             -DCMAKE_BUILD_TYPE=Release
             -DVELMORA_BUILD_TESTS=OFF
             -DVELMORA_WERROR=${VELMORA_WERROR}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target velmora velmora-inspect
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${velmora_exe} ${velmora_inspect_exe}
  INSTALL_COMMAND "")

# A Wine prefix of its own inside the build directory, so that the user's ~/.wine is left
# alone. Wine stays quiet, and neither offers to install its .NET and HTML engines nor makes
# menu entries.
set(wine_env
  "WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wine-prefix"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d")

# The first start in a fresh prefix builds it, which takes seconds; it happens once, in a
# setup test that also starts a Wine server for the whole leg. Without it every test that
# found no server running would start one, and a test that limits the file size of its child
# would hand that limit to the server.
add_test(NAME wine:start
         COMMAND ${CMAKE_COMMAND} -D ACTION=start -D WINE=${VELMORA_WINE}
                 -D WINESERVER=${VELMORA_WINESERVER} -D VELMORA_EXE=${velmora_exe}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/wine_server.cmake)
add_test(NAME wine:stop
         COMMAND ${CMAKE_COMMAND} -D ACTION=stop -D WINESERVER=${VELMORA_WINESERVER}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/wine_server.cmake)
set_tests_properties(wine:start PROPERTIES FIXTURES_SETUP velmora_wine ENVIRONMENT "${wine_env}"
                                           TIMEOUT 600 LABELS wine)
set_tests_properties(wine:stop PROPERTIES FIXTURES_CLEANUP velmora_wine ENVIRONMENT "${wine_env}"
                                          TIMEOUT 60 LABELS wine)

# The same test binary, its tests named wine:..., pointed at velmora.exe through the
# environment. The properties are set by a file that CTest reads after the discovered tests,
# because a list such as the environment does not survive gtest_discover_tests' PROPERTIES.
gtest_discover_tests(velmora_cli_tests TEST_PREFIX "wine:" TEST_LIST velmora_wine_tests)
# velmora-inspect.exe's --extract, which puts files in place through the same routine.
gtest_discover_tests(inspect_test TEST_PREFIX "wine:" TEST_FILTER "Extract.*"
                     TEST_LIST velmora_wine_inspect_tests)
set(wine_test_env
  ${wine_env}
  "VELMORA_EXE=${velmora_exe}"
  "VELMORA_INSPECT_EXE=${velmora_inspect_exe}"
  "VELMORA_RUNNER=${VELMORA_WINE}"
  "VELMORA_TARGET=windows")
set(wine_properties_file ${CMAKE_CURRENT_BINARY_DIR}/wine_test_properties.cmake)
file(WRITE ${wine_properties_file}
  "if(velmora_wine_tests)\n"
  "  set_tests_properties(\${velmora_wine_tests} \${velmora_wine_inspect_tests} PROPERTIES\n"
  "    ENVIRONMENT [==[${wine_test_env}]==]\n"
  "    FIXTURES_REQUIRED velmora_wine TIMEOUT 300 LABELS wine)\n"
  "endif()\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${wine_properties_file})
