# Starts or stops the Wine server of the Windows leg's prefix (WINEPREFIX, from the test's
# environment): cmake -D ACTION=start|stop -D WINE=... -D WINESERVER=... -D VELMORA_EXE=...
#   -P wine_server.cmake
if(ACTION STREQUAL "start")
  # A server left over from an interrupted run is replaced, so that the one serving this run
  # stays up between tests: it lives until the stop test, or 120 seconds after its last client.
  execute_process(COMMAND ${WINESERVER} -k OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
  file(MAKE_DIRECTORY $ENV{WINEPREFIX})
  # Everything started here writes to files, not pipes: the server and the Windows services
  # that building the prefix starts would inherit a pipe and keep it open as long as they live,
  # and the pipe's reader would wait for them.
  execute_process(COMMAND ${WINESERVER} -p120 RESULT_VARIABLE started
                  OUTPUT_FILE /dev/null ERROR_FILE $ENV{WINEPREFIX}/server-start.err)
  if(NOT started EQUAL 0)
    file(READ $ENV{WINEPREFIX}/server-start.err why)
    message(FATAL_ERROR "cannot start the Wine server (${started}): ${why}")
  endif()
  # The first run builds the prefix. velmora.exe without arguments prints its count line
  # and usage, reads standard input (at its end here) and ends with -1.
  string(TIMESTAMP begin "%s")
  set(output_file $ENV{WINEPREFIX}/first-run.out)
  execute_process(COMMAND ${WINE} ${VELMORA_EXE}
                  INPUT_FILE /dev/null OUTPUT_FILE ${output_file}
                  ERROR_FILE $ENV{WINEPREFIX}/first-run.err
                  RESULT_VARIABLE status)
  string(TIMESTAMP end "%s")
  math(EXPR seconds "${end} - ${begin}")
  if(NOT status EQUAL 255)
    file(READ ${output_file} output)
    file(READ $ENV{WINEPREFIX}/first-run.err errors)
    message(FATAL_ERROR "velmora.exe under Wine ended with ${status}:\n${output}\n${errors}")
  endif()
  message(STATUS "velmora.exe runs under Wine; the first start took ${seconds} s")
elseif(ACTION STREQUAL "stop")
  execute_process(COMMAND ${WINESERVER} -k OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
else()
  message(FATAL_ERROR "ACTION must be start or stop")
endif()
