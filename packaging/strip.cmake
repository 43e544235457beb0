# SPDX-License-Identifier: MIT
# Run by CPack on the staged files before it packs them: strips every ELF file
# as Debian's dh_strip does, dropping the .comment and .note sections that a
# plain strip leaves (shared libraries lose their unneeded symbols too).
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    continue()
  endif()
  set(options --remove-section=.comment --remove-section=.note)
  if(file MATCHES "\\.so(\\.[0-9]+)*$" OR file MATCHES "\\.DLL$")
    list(APPEND options --strip-unneeded)
  endif()
  execute_process(COMMAND "${CPACK_SERIVOX_STRIP}" ${options} "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "strip failed on ${file}")
  endif()
endforeach()
