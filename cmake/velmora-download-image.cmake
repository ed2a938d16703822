# velmora_add_download_image(): compose a download image as a step of a firmware build.
#
#   velmora_add_download_image(<target>
#     OUTPUT <file> BOOTLOADER <file>
#     APP1 <file> LOAD_ADDR1 <hex> STATUS1 <n>
#     APP2 <file> LOAD_ADDR2 <hex> STATUS2 <n>
#     [VERIFY [ALLOW <warning>...]] [EXCLUDE_FROM_ALL] [DEPENDS <target or file>...])
#
# adds the target <target>, built by default unless EXCLUDE_FROM_ALL, which composes OUTPUT
# with velmora::velmora whenever an input, the command or velmora changes. A relative OUTPUT is
# taken from the current binary directory, a relative input from the current source
# directory; generator expressions are allowed in both. An input made by a custom command of
# the same directory, declared before this call, is waited for; for one made elsewhere, name
# the target that makes it in DEPENDS.
#
# velmora runs with standard input from the null device, so a failure never waits for a key.
# Its console text stays out of the build log when it succeeds; when it fails, the build stops
# and shows the text, converted from GBK to UTF-8 where iconv is found, with the status.
# VERIFY then runs velmora::inspect on the image with --strict: a failed check, or any warning
# not named in ALLOW, removes the image and fails the build, so that the next build composes
# it again. Every warning, allowed ones too, is shown in the build log.
#
# Included by velmoraConfig.cmake, and by velmora's own CMakeLists.txt for a velmora added with
# add_subdirectory() or FetchContent; both provide velmora::velmora and velmora::inspect.
include_guard(GLOBAL)

function(velmora_add_download_image target)
  set(one_value OUTPUT BOOTLOADER APP1 LOAD_ADDR1 STATUS1 APP2 LOAD_ADDR2 STATUS2)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY;EXCLUDE_FROM_ALL" "${one_value}"
                        "DEPENDS;ALLOW")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "velmora_add_download_image(${target}): unknown arguments: "
                        "${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(keyword IN LISTS one_value)
    if(NOT DEFINED arg_${keyword} OR arg_${keyword} STREQUAL "")
      message(FATAL_ERROR "velmora_add_download_image(${target}): ${keyword} is missing")
    endif()
  endforeach()
  # velmora reads any word as a number and never complains; a build script should, so a typo
  # cannot turn into another address.
  foreach(keyword LOAD_ADDR1 STATUS1 LOAD_ADDR2 STATUS2)
    if(NOT arg_${keyword} MATCHES "^(0[xX])?[0-9a-fA-F]+$")
      message(FATAL_ERROR "velmora_add_download_image(${target}): ${keyword} "
                          "'${arg_${keyword}}' is not a hexadecimal number")
    endif()
  endforeach()
  if(arg_ALLOW AND NOT arg_VERIFY)
    message(FATAL_ERROR "velmora_add_download_image(${target}): ALLOW needs VERIFY")
  endif()
  foreach(program velmora::velmora velmora::inspect)
    if(NOT TARGET ${program})
      message(FATAL_ERROR "velmora_add_download_image(${target}): there is no ${program}; "
                          "find_package(velmora) or add velmora's source directory first")
    endif()
  endforeach()

  set(inputs "")
  set(input_depends "")
  foreach(keyword BOOTLOADER APP1 APP2)
    set(path ${arg_${keyword}})
    if(NOT path MATCHES "^\\$<")
      cmake_path(ABSOLUTE_PATH path BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    endif()
    list(APPEND inputs ${path})
    # A plain file is followed through the depfile the step writes, so a missing one reaches
    # velmora, which says so, instead of stopping the build tool with a message of its own.
    # A file another build step makes must be waited for, so it is a dependency proper.
    get_source_file_property(generated ${path} GENERATED)
    if(generated OR path MATCHES "^\\$<")
      list(APPEND input_depends ${path})
    endif()
  endforeach()
  set(output ${arg_OUTPUT})
  if(NOT output MATCHES "^\\$<")
    cmake_path(ABSOLUTE_PATH output BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
  endif()
  list(GET inputs 0 boot)
  list(GET inputs 1 app1)
  list(GET inputs 2 app2)
  set(velmora_words ${boot} ${app1} ${arg_LOAD_ADDR1} ${arg_STATUS1} ${app2} ${arg_LOAD_ADDR2}
                    ${arg_STATUS2} ${output})

  # velmora-inspect says through its target properties whether it can check an image against
  # the inputs it was composed from (VELMORA_INSPECT_AGAINST: --against) and fail on warnings
  # (VELMORA_INSPECT_STRICT: --strict and --allow); without them, it checks what it can.
  set(programs velmora::velmora)
  set(inspect_words "")
  if(arg_VERIFY)
    list(APPEND programs velmora::inspect)
    get_target_property(strict velmora::inspect VELMORA_INSPECT_STRICT)
    if(strict)
      list(APPEND inspect_words --strict)
      foreach(name IN LISTS arg_ALLOW)
        list(APPEND inspect_words --allow ${name})
      endforeach()
    elseif(arg_ALLOW)
      message(WARNING "velmora_add_download_image(${target}): this velmora-inspect has no "
                      "--strict; ALLOW is ignored and warnings do not fail the build")
    endif()
    get_target_property(against velmora::inspect VELMORA_INSPECT_AGAINST)
    if(against)
      list(APPEND inspect_words --against ${velmora_words})
    else()
      list(APPEND inspect_words ${output})
    endif()
  endif()

  find_program(VELMORA_ICONV iconv)
  mark_as_advanced(VELMORA_ICONV)
  set(iconv "")
  if(VELMORA_ICONV)
    set(iconv ${VELMORA_ICONV})
  endif()

  set(step_dir ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${target}.velmora)
  list(JOIN velmora_words "$<SEMICOLON>" velmora_arg)
  list(JOIN inspect_words "$<SEMICOLON>" inspect_arg)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND}
            "-DVELMORA=$<TARGET_FILE:velmora::velmora>"
            "-DVELMORA_WORDS=${velmora_arg}"
            "-DINSPECT=$<TARGET_FILE:velmora::inspect>"
            "-DINSPECT_WORDS=${inspect_arg}"
            "-DICONV=${iconv}"
            "-DOUTPUT=${output}"
            "-DSTEP_DIR=${step_dir}"
            -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/velmora-build-step.cmake
    DEPENDS ${input_depends} ${arg_DEPENDS} ${programs}
            ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/velmora-build-step.cmake
    DEPFILE ${step_dir}/inputs.d
    COMMENT "Composing download image ${arg_OUTPUT}"
    VERBATIM)
  set(all ALL)
  if(arg_EXCLUDE_FROM_ALL)
    set(all "")
  endif()
  add_custom_target(${target} ${all} DEPENDS ${output})
endfunction()
