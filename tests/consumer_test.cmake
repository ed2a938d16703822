# Builds the consumer project under tests/consumer as a firmware team would, and checks what
# velmora_add_download_image() promises. Run as `cmake -P` with:
#   ACTION      install: install velmora from VELMORA_BUILD_DIR into WORK_DIR/prefix
#               build: configure and build the consumer in WORK_DIR/NAME
#   NAME        the name of the run, for its directory and its messages
#   GENERATOR   the consumer's CMake generator
#   SOURCE_DIR  velmora's source directory (the consumer and the example inputs live there)
#   FETCH       ON: the consumer takes velmora from SOURCE_DIR through FetchContent
#
# Every build runs with standard input open on a pipe that never delivers a byte, as a build
# started from a terminal has it: a velmora that waited for a key would hang there, and the
# time limit turns that into a failure.
cmake_minimum_required(VERSION 3.25)

set(prefix ${WORK_DIR}/prefix)
if(ACTION STREQUAL "install")
  file(REMOVE_RECURSE ${prefix})
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${VELMORA_BUILD_DIR} --prefix ${prefix}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  return()
endif()

set(dir ${WORK_DIR}/${NAME})
set(inputs ${dir}/inputs)
set(build ${dir}/build)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${inputs})
file(COPY ${SOURCE_DIR}/examples/boot.bin ${SOURCE_DIR}/examples/app1.bin
          ${SOURCE_DIR}/examples/app2.bin DESTINATION ${inputs})
set(stdin_pipe ${dir}/stdin)
execute_process(COMMAND mkfifo ${stdin_pipe} COMMAND_ERROR_IS_FATAL ANY)

# Runs a command with the never-delivering pipe as standard input (opened for reading and
# writing, so opening it does not wait either); `out` gets the status and `out_log` the
# output of both streams.
function(run_with_open_stdin out)
  execute_process(COMMAND sh -c "exec \"$@\" <>\"$0\"" ${stdin_pipe} ${ARGN}
                  OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE status TIMEOUT 120)
  set(${out} "${status}" PARENT_SCOPE)
  set(${out}_log "${log}" PARENT_SCOPE)
endfunction()

# Fails the test with `message` unless the condition in the remaining words holds.
function(check message)
  if(${ARGN})
  else()
    message(FATAL_ERROR "${NAME}: ${message}")
  endif()
endfunction()

# Configures the consumer with the extra words given; `status` and `log` get the outcome.
function(try_configure status log)
  set(source_args "")
  if(FETCH)
    set(source_args -DVELMORA_SOURCE_DIR=${SOURCE_DIR})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${build}
                          -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix} -DINPUT_DIR=${inputs}
                          ${source_args} ${ARGN}
                  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE result)
  set(${status} "${result}" PARENT_SCOPE)
  set(${log} "${output}" PARENT_SCOPE)
endfunction()

function(configure)
  try_configure(status log ${ARGN})
  check("configuring failed:\n${log}" status EQUAL 0)
endfunction()

# Builds `target`; `composed` is set to whether velmora ran.
function(build target composed)
  run_with_open_stdin(status ${CMAKE_COMMAND} --build ${build} --target ${target})
  check("building ${target} failed (${status}):\n${status_log}" status EQUAL 0)
  # velmora's console text stays out of the log of a build that succeeds.
  string(FIND "${status_log}" "updata file success" at)
  check("velmora's text is in the build log:\n${status_log}" at EQUAL -1)
  set(build_log "${status_log}" PARENT_SCOPE)
  string(FIND "${status_log}" "Composing download image" at)
  if(at EQUAL -1)
    set(${composed} OFF PARENT_SCOPE)
  else()
    set(${composed} ON PARENT_SCOPE)
  endif()
endfunction()

# Builds `target`, which must fail with `expected` in the build log and leave no image.
function(build_fails target expected)
  run_with_open_stdin(status ${CMAKE_COMMAND} --build ${build} --target ${target})
  check("building ${target} did not fail:\n${status_log}" NOT status EQUAL 0)
  string(FIND "${status_log}" "${expected}" at)
  check("the build log does not say '${expected}':\n${status_log}" NOT at EQUAL -1)
  check("the failed build left download.bin" NOT EXISTS ${build}/download.bin)
endfunction()

# The 32-bit little-endian word at `offset` of the image, as 8 hexadecimal digits.
function(image_word offset out)
  file(READ ${build}/download.bin bytes OFFSET ${offset} LIMIT 4 HEX)
  string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\4\\3\\2\\1" word "${bytes}")
  set(${out} "${word}" PARENT_SCOPE)
endfunction()

# The image the example inputs give: 3 pages, then APP1 (4660 bytes) and APP2 (2310 bytes),
# each rounded up to whole pages of 0x1000 bytes.
function(check_image app2_status_word app2_flags)
  file(SIZE ${build}/download.bin size)
  check("download.bin is ${size} bytes, not 24576" size EQUAL 24576)
  image_word(8240 status)  # 0x2030: APP2's status
  image_word(8244 flags)   # 0x2034: APP2's flags
  image_word(8272 load)    # 0x2050: APP2's load address
  check("APP2's status word is ${status}" status STREQUAL app2_status_word)
  check("APP2's flags are ${flags}" flags STREQUAL app2_flags)
  check("APP2's load address is ${load}" load STREQUAL "11000000")
endfunction()

configure()
build(image composed)
check("the first build did not compose the image" composed)
check_image(00000001 00008000)
check("VERIFY did not run velmora-inspect"
      EXISTS ${build}/CMakeFiles/image.velmora/velmora-inspect.txt)

if(NOT FETCH)
  build(image composed)
  check("a build with nothing changed composed the image again" NOT composed)

  # A changed bootloader, a plain file followed through the depfile.
  file(WRITE ${inputs}/boot.bin "BBBB")
  build(image composed)
  check("a changed bootloader was not composed" composed)
  image_word(0 first)
  check("the image starts with ${first}, not the new bootloader" first STREQUAL "42424242")

  # A changed APP1, made by a build step: 13000 bytes are 4 pages, so the image grows by two.
  string(REPEAT "0123456789" 1300 app1)
  file(WRITE ${inputs}/app1.bin "${app1}")
  build(image composed)
  file(SIZE ${build}/download.bin size)
  check("APP1 of 13000 bytes gave an image of ${size} bytes, not 32768" size EQUAL 32768)

  # A status velmora would read leniently as some number stops configuring instead.
  try_configure(status log -DAPP2_STATUS=2x)
  check("STATUS2 2x was accepted" NOT status EQUAL 0)
  string(FIND "${log}" "STATUS2 '2x' is not a hexadecimal number" at)
  check("configuring did not say why STATUS2 2x was refused:\n${log}" NOT at EQUAL -1)

  # A decimal address passes the configure-time check (its digits are hexadecimal ones) and
  # velmora reads it as 0x68435456: VERIFY fails the build, the warning in the log.
  configure(-DAPP1_LOAD_ADDR=268435456 -DAPP2_STATUS=2)
  build_fails(image "warn  load_addr1_decimal")
  configure(-DAPP1_LOAD_ADDR=0x10000000)

  # A new status in the build script composes the image again, with every generator. APP2
  # marked invalid beside an active APP1 fails VERIFY until the build script allows it, and
  # the allowed warning still shows in the build log.
  configure(-DAPP2_STATUS=0)
  build_fails(image "warn  app2_invalid")
  configure(-DAPP2_STATUS=0 -DIMAGE_ALLOW=app2_invalid)
  build(image composed)
  check("a changed status was not composed" composed)
  string(FIND "${build_log}" "warn  app2_invalid" at)
  check("the allowed warning is not in the build log:\n${build_log}" NOT at EQUAL -1)
  image_word(8240 status)
  image_word(8244 flags)
  check("APP2's status word is ${status} after STATUS2 0" status STREQUAL "00000000")
  check("APP2's flags are ${flags} after STATUS2 0" flags STREQUAL "00000000")
endif()

# A missing input: the build fails at once, with velmora's message converted to UTF-8.
run_with_open_stdin(status ${CMAKE_COMMAND} --build ${build} --target broken_image)
check("the build with a missing input did not fail promptly (${status}):\n${status_log}"
      status MATCHES "^[1-9][0-9]*$")
string(FIND "${status_log}" "Can not open the path: ${inputs}/missing.bin" at)
check("velmora's message is not in the log:\n${status_log}" NOT at EQUAL -1)
# 第二个命令行参数 (the label of APP1's echo line), in UTF-8.
string(FIND "${status_log}" "第二个命令行参数[APP1 program]:${inputs}/missing.bin" at)
check("velmora's text is not shown in UTF-8:\n${status_log}" NOT at EQUAL -1)
check("the failed build left broken.bin" NOT EXISTS ${build}/broken.bin)
