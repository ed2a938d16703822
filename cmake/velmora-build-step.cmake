# The build step of velmora_add_download_image(), run as `cmake -P` with:
#   VELMORA, VELMORA_WORDS   velmora and its eight words (the last one is OUTPUT)
#   INSPECT, INSPECT_WORDS   velmora-inspect and its words; no words: no check
#   ICONV                    iconv, to show velmora's GBK text as UTF-8; empty: shown as is
#   OUTPUT                   the image
#   STEP_DIR                 a directory of the step's own: the depfile and the console texts
#
# Standard input is the null device for both programs, so a failing velmora never waits for a
# key. Their console texts go to files; they reach the build log only when a program fails.
cmake_minimum_required(VERSION 3.20)

if(CMAKE_HOST_WIN32)
  set(null_device NUL)
else()
  set(null_device /dev/null)
endif()
file(MAKE_DIRECTORY ${STEP_DIR})

# The inputs, as a depfile: the build tool composes the image again when one of them changes,
# and runs velmora, which names a missing one, rather than stopping on its own.
function(write_depfile)
  set(line "")
  foreach(path IN ITEMS ${OUTPUT} ":" ${ARGN})
    if(NOT path STREQUAL ":")
      string(REPLACE "\\" "/" path "${path}")
      string(REPLACE " " "\\ " path "${path}")
      string(REPLACE "#" "\\#" path "${path}")
      string(REPLACE "$" "$$" path "${path}")
    endif()
    string(APPEND line " ${path}")
  endforeach()
  string(REPLACE " : " ": " line "${line}")
  string(STRIP "${line}" line)
  file(WRITE ${STEP_DIR}/inputs.d "${line}\n")
endfunction()

# Shows a program's console text and ends the build step as failed.
function(fail program status log)
  set(text "")
  if(ICONV AND program STREQUAL "velmora")
    execute_process(COMMAND ${ICONV} -f GBK -t UTF-8 ${log} OUTPUT_VARIABLE text
                    RESULT_VARIABLE converted ERROR_QUIET)
    if(NOT converted EQUAL 0)
      set(text "")
    endif()
  endif()
  if(text STREQUAL "")
    file(READ ${log} text)
  endif()
  message(NOTICE "${text}")
  message(FATAL_ERROR "${program} failed (exit status ${status}) for ${OUTPUT}")
endfunction()

list(GET VELMORA_WORDS 0 boot)
list(GET VELMORA_WORDS 1 app1)
list(GET VELMORA_WORDS 4 app2)
write_depfile(${boot} ${app1} ${app2})

set(velmora_log ${STEP_DIR}/velmora.txt)
execute_process(COMMAND ${VELMORA} ${VELMORA_WORDS}
                INPUT_FILE ${null_device} OUTPUT_FILE ${velmora_log} ERROR_FILE ${velmora_log}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  fail(velmora "${status}" ${velmora_log})
endif()

if(INSPECT_WORDS)
  set(inspect_log ${STEP_DIR}/velmora-inspect.txt)
  execute_process(COMMAND ${INSPECT} ${INSPECT_WORDS}
                  INPUT_FILE ${null_device} OUTPUT_FILE ${inspect_log} ERROR_FILE ${inspect_log}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    # An image that fails its checks must not count as built.
    file(REMOVE ${OUTPUT})
    fail(velmora-inspect "${status}" ${inspect_log})
  endif()
  # The warnings that were allowed still show in the build log.
  file(STRINGS ${inspect_log} warnings REGEX "^  warn  ")
  foreach(line IN LISTS warnings)
    string(STRIP "${line}" line)
    message(NOTICE "velmora-inspect: ${OUTPUT}: ${line}")
  endforeach()
endif()
