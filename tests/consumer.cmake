# The consumer tests: velmora installed into a scratch prefix, then a small firmware project
# under consumer/ that uses find_package(velmora) and velmora_add_download_image(), configured
# and built with the Unix Makefiles and the Ninja generators; and the same project taking
# velmora from its source directory through FetchContent. Included from tests/CMakeLists.txt.
if(CMAKE_CROSSCOMPILING OR NOT CMAKE_HOST_UNIX)
  return()
endif()

set(consumer_dir ${CMAKE_CURRENT_BINARY_DIR}/consumer)
set(consumer_args -D SOURCE_DIR=${PROJECT_SOURCE_DIR} -D WORK_DIR=${consumer_dir})
add_test(NAME consumer:install
         COMMAND ${CMAKE_COMMAND} -D ACTION=install -D VELMORA_BUILD_DIR=${PROJECT_BINARY_DIR}
                 ${consumer_args} -P ${CMAKE_CURRENT_SOURCE_DIR}/consumer_test.cmake)
set_tests_properties(consumer:install PROPERTIES FIXTURES_SETUP velmora_installed TIMEOUT 60
                                                 LABELS consumer)

find_program(VELMORA_NINJA NAMES ninja ninja-build)
set(generators "Unix Makefiles")
if(VELMORA_NINJA)
  list(APPEND generators Ninja)
else()
  add_test(NAME consumer:ninja-not-run
           COMMAND ${CMAKE_COMMAND} -E echo "Ninja generator skipped: ninja not installed")
  set_tests_properties(consumer:ninja-not-run PROPERTIES SKIP_REGULAR_EXPRESSION "skipped"
                                                         LABELS consumer)
endif()
foreach(generator IN LISTS generators)
  string(REPLACE " " "-" name "${generator}")
  string(TOLOWER "${name}" name)
  add_test(NAME consumer:${name}
           COMMAND ${CMAKE_COMMAND} -D ACTION=build -D NAME=${name} -D GENERATOR=${generator}
                   ${consumer_args} -P ${CMAKE_CURRENT_SOURCE_DIR}/consumer_test.cmake)
  set_tests_properties(consumer:${name} PROPERTIES FIXTURES_REQUIRED velmora_installed
                                                   TIMEOUT 300 LABELS consumer)
endforeach()

# FetchContent builds velmora itself, with Ninja where it is installed.
list(GET generators -1 generator)
add_test(NAME consumer:fetchcontent
         COMMAND ${CMAKE_COMMAND} -D ACTION=build -D NAME=fetchcontent -D FETCH=ON
                 -D GENERATOR=${generator} ${consumer_args}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/consumer_test.cmake)
set_tests_properties(consumer:fetchcontent PROPERTIES TIMEOUT 600 LABELS consumer)
