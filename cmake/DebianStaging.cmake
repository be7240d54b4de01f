# Runs inside CPack after the staging install: turns the staged tree into what Debian policy wants.
# CPack has already stripped the binary; the compiler's .comment and .note sections go too, as
# Debian's own packaging tools do. Man pages and large documents are compressed with gzip -9n (no
# name or time stamp, so the package is reproducible); the copyright file and changelog.Debian.gz
# join the documentation.

if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(_root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${_root}")
  message(FATAL_ERROR "DebianStaging: no staged tree at ${_root}")
endif()

function(_tunezap_gzip file)
  execute_process(COMMAND gzip -9 -n -f "${file}" RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "DebianStaging: gzip ${file} failed: ${_status}")
  endif()
endfunction()

file(GLOB _programs "${_root}/${CPACK_TUNEZAP_BINDIR}/*")
foreach(_program IN LISTS _programs)
  execute_process(COMMAND "${CPACK_TUNEZAP_STRIP}" --remove-section=.comment --remove-section=.note
                          "${_program}" RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "DebianStaging: strip ${_program} failed: ${_status}")
  endif()
endforeach()

file(GLOB_RECURSE _pages "${_root}/${CPACK_TUNEZAP_MANDIR}/*")
foreach(_page IN LISTS _pages)
  if(NOT _page MATCHES "\\.gz$")
    _tunezap_gzip("${_page}")
  endif()
endforeach()

set(_doc "${_root}/${CPACK_TUNEZAP_DOCDIR}")
file(GLOB _docs "${_doc}/*")
foreach(_file IN LISTS _docs)
  file(SIZE "${_file}" _size)
  if(_size GREATER 4096 AND NOT _file MATCHES "\\.gz$")
    _tunezap_gzip("${_file}")
  endif()
endforeach()

file(COPY "${CPACK_TUNEZAP_DEBIAN_DIR}/copyright" DESTINATION "${_doc}")
file(COPY "${CPACK_TUNEZAP_DEBIAN_DIR}/changelog.Debian" DESTINATION "${_doc}")
_tunezap_gzip("${_doc}/changelog.Debian")
