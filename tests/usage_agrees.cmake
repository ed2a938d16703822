# The usage text of velmora-inspect is written once, in its --help; the man page's synopsis and
# the bash completion must offer the same. Run as:
#   cmake -D INSPECT=<velmora-inspect> -D MAN=<velmora-inspect.1> -D COMPLETION=<file> -P usage_agrees.cmake
execute_process(COMMAND ${INSPECT} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "velmora-inspect --help ended with ${status}")
endif()

# The words of a synopsis, in order: every option, and every argument name in capitals.
function(synopsis_words text out)
  string(REGEX MATCHALL "--[a-z]+|[A-Z][A-Z0-9_]+" words "${text}")
  set(${out} "${words}" PARENT_SCOPE)
endfunction()

# The help's synopsis: its lines up to the first empty one.
string(FIND "${help}" "\n\n" end)
string(SUBSTRING "${help}" 0 ${end} help_synopsis)
string(REPLACE "Usage:" "" help_synopsis "${help_synopsis}")
synopsis_words("${help_synopsis}" from_help)
list(APPEND from_help --help --version)  # the man page's last line

# The man page's synopsis: from .SH SYNOPSIS to the next section, its arguments in italics
# (.I) written in capitals as the help writes them.
file(READ ${MAN} man)
string(REGEX MATCH "\\.SH SYNOPSIS\n(.*)\\.SH DESCRIPTION" _ "${man}")
set(man_synopsis "${CMAKE_MATCH_1}")
string(REPLACE "\\-" "-" man_synopsis "${man_synopsis}")
string(REGEX REPLACE "\\.B velmora-inspect" "" man_synopsis "${man_synopsis}")
# Brackets would hold lines together in a CMake list; they carry nothing compared here.
string(REGEX REPLACE "[][]" " " man_synopsis "${man_synopsis}")
string(REGEX MATCHALL "[^\n]+" man_lines "${man_synopsis}")
set(man_text "")
foreach(line IN LISTS man_lines)
  if(line MATCHES "^\\.IR? (.*)")
    string(TOUPPER "${CMAKE_MATCH_1}" line)
  endif()
  string(APPEND man_text "${line} ")
endforeach()
synopsis_words("${man_text}" from_man)
list(FILTER from_man EXCLUDE REGEX "^(RB|BR|B|I)$")
if(NOT from_help STREQUAL from_man)
  message(FATAL_ERROR "the man page's synopsis differs from --help:\n  help: ${from_help}\n  man:  ${from_man}")
endif()

# Every option the help lists, and only those, is completed.
string(REGEX MATCHALL "\n  --[a-z]+" help_options "${help}")
string(REGEX REPLACE "\n  " "" help_options "${help_options}")
list(SORT help_options)
file(READ ${COMPLETION} completion)
string(REGEX MATCH "options=\"([^\"]*)\"" _ "${completion}")
string(REGEX MATCHALL "--[a-z]+" completed "${CMAKE_MATCH_1}")
list(SORT completed)
if(NOT help_options STREQUAL completed)
  message(FATAL_ERROR "the completion's options differ from --help:\n  help: ${help_options}\n  completion: ${completed}")
endif()
message(STATUS "--help, the man page and the completion agree: ${help_options}")

# Every warning name the completion offers after --allow is one velmora-inspect accepts there.
execute_process(COMMAND bash -c "source \"$0\"; COMP_WORDS=(velmora-inspect --allow ''); COMP_CWORD=2; _velmora_inspect; printf '%s\\n' \"\${COMPREPLY[@]}\"" ${COMPLETION}
                OUTPUT_VARIABLE offered RESULT_VARIABLE status)
string(REGEX MATCHALL "[a-z0-9_]+" offered "${offered}")
list(LENGTH offered count)
if(NOT status EQUAL 0 OR count LESS 30)
  message(FATAL_ERROR "the completion offers ${count} warning names after --allow: ${offered}")
endif()
foreach(name IN LISTS offered)
  execute_process(COMMAND ${INSPECT} --strict --allow ${name} no-such-image.bin
                  ERROR_VARIABLE said OUTPUT_QUIET)
  if(said MATCHES "no warning is named")
    message(FATAL_ERROR "the completion offers --allow ${name}, which velmora-inspect refuses")
  endif()
endforeach()
