# velmora-inspect for aarch64, run under QEMU, must report on an image exactly as the native
# velmora-inspect does, on a sound image and on one with 16 bytes of APP2 zeroed (the example
# application holds no zero run there), which its checksum check must catch:
#   cmake -D RUNNER=<emulator;options> -D ARM64_INSPECT=... -D NATIVE_INSPECT=...
#         -D VELMORA=... -D EXAMPLES=<examples dir> -D WORK_DIR=... -P arm64_inspect.cmake
# APP2 lies in the high window, so the reports rest on the word reversal as well as on the
# checksum.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(image ${WORK_DIR}/download.bin)
set(damaged ${WORK_DIR}/damaged.bin)
execute_process(COMMAND ${VELMORA} ${EXAMPLES}/boot.bin ${EXAMPLES}/app1.bin 0x10000000 1
                        ${EXAMPLES}/app2.bin 0x11000000 2 ${image}
                INPUT_FILE /dev/null OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "velmora could not compose the examples (${status})")
endif()
file(COPY_FILE ${image} ${damaged})
# APP2 starts at 0x5000 in this image; 16 bytes from 0x5800 become zero.
execute_process(COMMAND dd if=/dev/zero of=${damaged} bs=1 count=16 seek=22528 conv=notrunc
                OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dd could not damage the copy (${status})")
endif()

foreach(case IN ITEMS "download.bin;0" "damaged.bin;1")
  list(GET case 0 name)
  list(GET case 1 expected_status)
  execute_process(COMMAND ${NATIVE_INSPECT} --json ${name} WORKING_DIRECTORY ${WORK_DIR}
                  OUTPUT_VARIABLE native_report RESULT_VARIABLE native_status)
  execute_process(COMMAND ${RUNNER} ${ARM64_INSPECT} --json ${name} WORKING_DIRECTORY ${WORK_DIR}
                  OUTPUT_VARIABLE arm64_report RESULT_VARIABLE arm64_status)
  if(NOT native_status EQUAL expected_status OR NOT arm64_status EQUAL expected_status)
    message(FATAL_ERROR "${name}: velmora-inspect ended with ${native_status} natively and "
                        "${arm64_status} on aarch64, expected ${expected_status}")
  endif()
  if(NOT native_report STREQUAL arm64_report)
    message(FATAL_ERROR "${name}: the reports differ\nnative:\n${native_report}\n"
                        "aarch64:\n${arm64_report}")
  endif()
  message(STATUS "${name}: the same report, status ${expected_status}")
endforeach()
