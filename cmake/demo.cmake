# The velmora run of the demo target, as `cmake -P` with VELMORA (the program), WORDS (its eight
# words) and ICONV (iconv, or empty): velmora's GBK console text is converted to UTF-8 for the
# terminal where iconv is found, and the demo fails when velmora fails.
if(CMAKE_HOST_WIN32)
  set(null_device NUL)
else()
  set(null_device /dev/null)
endif()
set(convert "")
if(ICONV)
  set(convert COMMAND ${ICONV} -f GBK -t UTF-8)
endif()
execute_process(COMMAND ${VELMORA} ${WORDS} ${convert} INPUT_FILE ${null_device}
                RESULTS_VARIABLE statuses)
list(GET statuses 0 status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "velmora failed (exit status ${status})")
endif()
