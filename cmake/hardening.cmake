# Hardening for optimised Linux builds: fortified libc calls, stack protector, read-only
# relocations and immediate binding. The flags are Debian's own, as dpkg-buildflags gives
# them with every hardening feature on; where dpkg-buildflags is missing (a machine without
# dpkg), the same features are asked for directly. Either way the compiler is tried with them
# first, and a compiler that refuses them builds without them.
#
# The flags go on the interface target velmora_hardening, for the optimised configurations
# only: _FORTIFY_SOURCE needs optimisation, and a debug build stays as easy to step through as
# before. Sanitizer and fuzzer builds leave hardening out, since fortified calls hide memory
# errors from AddressSanitizer.
option(VELMORA_HARDENING "Harden optimised Linux builds (fortify, stack protector, relro, now)"
       ON)
add_library(velmora_hardening INTERFACE)

if(NOT VELMORA_HARDENING OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR VELMORA_SANITIZE
   OR VELMORA_BUILD_FUZZERS)
  return()
endif()

# The Debian architecture of the programs being built, so that a cross build gets the flags
# of its target (-fcf-protection exists on x86 only, for one).
function(velmora_debian_arch out)
  set(arch "")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(arch amd64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    set(arch arm64)
  endif()
  set(${out} "${arch}" PARENT_SCOPE)
endfunction()

# Options from one dpkg-buildflags variable, without the optimisation, debug information and
# path mapping it also carries: the build type chooses those.
function(velmora_dpkg_flags variable out)
  velmora_debian_arch(arch)
  set(env DEB_BUILD_MAINT_OPTIONS=hardening=+all)
  if(arch)
    list(APPEND env DEB_HOST_ARCH=${arch})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} ${VELMORA_DPKG_BUILDFLAGS} --get
                          ${variable}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE result ERROR_QUIET)
  if(NOT result EQUAL 0)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^(-g.*|-O.*|-ffile-prefix-map=.*|-fdebug-prefix-map=.*)$")
  set(${out} "${flags}" PARENT_SCOPE)
endfunction()

find_program(VELMORA_DPKG_BUILDFLAGS dpkg-buildflags)
mark_as_advanced(VELMORA_DPKG_BUILDFLAGS)
if(VELMORA_DPKG_BUILDFLAGS)
  velmora_dpkg_flags(CPPFLAGS hardening_cppflags)
  velmora_dpkg_flags(CXXFLAGS hardening_cxxflags)
  velmora_dpkg_flags(LDFLAGS hardening_ldflags)
  set(hardening_compile ${hardening_cppflags} ${hardening_cxxflags})
  set(hardening_link ${hardening_ldflags})
  set(hardening_source "dpkg-buildflags")
endif()
if(NOT hardening_compile AND NOT hardening_link)
  set(hardening_compile -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat
                        -Werror=format-security)
  set(hardening_link -Wl,-z,relro -Wl,-z,now)
  set(hardening_source "built-in flags (no dpkg-buildflags)")
endif()

include(CheckCXXSourceCompiles)
list(JOIN hardening_compile " " CMAKE_REQUIRED_FLAGS)
string(PREPEND CMAKE_REQUIRED_FLAGS "-O2 ")
set(CMAKE_REQUIRED_LINK_OPTIONS ${hardening_link})
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles("#include <cstdio>\nint main() { std::puts(\"x\"); }"
                          VELMORA_HARDENING_WORKS)
unset(CMAKE_REQUIRED_FLAGS)
unset(CMAKE_REQUIRED_LINK_OPTIONS)
unset(CMAKE_REQUIRED_QUIET)
if(NOT VELMORA_HARDENING_WORKS)
  message(STATUS "Hardening: off, the compiler refuses the flags from ${hardening_source}")
  return()
endif()

set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
target_compile_options(velmora_hardening INTERFACE "$<${optimised}:${hardening_compile}>")
target_link_options(velmora_hardening INTERFACE "$<${optimised}:${hardening_link}>")
list(JOIN hardening_compile " " compile_text)
list(JOIN hardening_link " " link_text)
message(STATUS "Hardening of optimised builds, from ${hardening_source}: ${compile_text} "
               "${link_text}")
