# Packages: a Debian package (cpack -G DEB, run by scripts/package-deb.sh). The Windows zip is
# made by scripts/package-zip.sh from the cross-built executable.
#
# The Debian package installs under /usr: the binary in /usr/bin, the man page, the udev rule in
# /usr/lib/udev/rules.d and the documentation in /usr/share/doc/tunezap. What only a Debian package
# carries (copyright, changelog.Debian.gz, the compressed man page) is put in place by
# DebianStaging.cmake after CPack's staging install, so a plain `cmake --install` stays untouched.

if(WIN32)
  return()
endif()

set(TUNEZAP_MAINTAINER "tunezap developers <tunezap@users.noreply.example>")

# Documentation, for every install.
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian copyright file in machine-readable form, made from LICENSE: its copyright line and,
# as the Expat licence text, everything after it. Blank lines become " ." as the format asks.
file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" _tunezap_license_lines)
set(_tunezap_holder "")
set(_tunezap_license_text "")
foreach(_line IN LISTS _tunezap_license_lines)
  if(_tunezap_holder STREQUAL "")
    if(_line MATCHES "^Copyright \\(c\\) (.+)$")
      set(_tunezap_holder "${CMAKE_MATCH_1}")
    endif()
  elseif(_line STREQUAL "")
    string(APPEND _tunezap_license_text "\n .")
  else()
    string(APPEND _tunezap_license_text "\n ${_line}")
  endif()
endforeach()
if(_tunezap_holder STREQUAL "")
  message(FATAL_ERROR "LICENSE has no 'Copyright (c) ...' line")
endif()
# Drop the " ." that stood for the blank line between the copyright line and the text.
string(REGEX REPLACE "^\n \\." "" _tunezap_license_text "${_tunezap_license_text}")
set(TUNEZAP_DEBIAN_DIR "${PROJECT_BINARY_DIR}/debian")
file(WRITE "${TUNEZAP_DEBIAN_DIR}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: ${PROJECT_NAME}\n"
  "Upstream-Contact: ${TUNEZAP_MAINTAINER}\n"
  "\n"
  "Files: *\n"
  "Copyright: ${_tunezap_holder}\n"
  "License: Expat${_tunezap_license_text}\n")

# The Debian changelog. Its date follows SOURCE_DATE_EPOCH when set, so that rebuilds of one
# commit give the same package.
set(TUNEZAP_DEBIAN_REVISION 1)
string(TIMESTAMP _tunezap_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${TUNEZAP_DEBIAN_DIR}/changelog.Debian"
  "${PROJECT_NAME} (${PROJECT_VERSION}-${TUNEZAP_DEBIAN_REVISION}) unstable; urgency=medium\n"
  "\n"
  "  * Initial release.\n"
  "\n"
  " -- ${TUNEZAP_MAINTAINER}  ${_tunezap_changelog_date}\n")

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "tunezap developers")
set(CPACK_PACKAGE_CONTACT "${TUNEZAP_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "change the channel of a set-top box through its USB HID device")
set(CPACK_PACKAGE_DESCRIPTION
  "tunezap finds the USB HID device with vendor id 6666 and product id f100\n"
  "that a TV set-top box is attached through, and sends it one output report\n"
  "per decimal position of the channel number. Recording software can run it\n"
  "as its external channel-change program.\n"
  ".\n"
  "The package ships a udev rule that lets the logged-in user and members of\n"
  "the plugdev group write to the device.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_RELEASE ${TUNEZAP_DEBIAN_REVISION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TUNEZAP_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/packaging/debian/postinst"
  "${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Read by DebianStaging.cmake when CPack runs.
set(CPACK_TUNEZAP_DEBIAN_DIR "${TUNEZAP_DEBIAN_DIR}")
set(CPACK_TUNEZAP_MANDIR "${CMAKE_INSTALL_MANDIR}")
set(CPACK_TUNEZAP_DOCDIR "${CMAKE_INSTALL_DOCDIR}")
set(CPACK_TUNEZAP_BINDIR "${CMAKE_INSTALL_BINDIR}")
set(CPACK_TUNEZAP_STRIP "${CMAKE_STRIP}")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/DebianStaging.cmake")

include(CPack)
