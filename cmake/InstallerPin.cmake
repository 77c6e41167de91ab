# The one installer the program starts without a question, pinned by the
# SHA-256 Authenticode digest of its signed image, a build setting:
#   -DINSTALLER_SHA256=<64 hex digits>   the maker's installer (a release);
#   -DINSTALLER_SIGNED=<file>            the same, read from the maker's
#                                        signed installer at build time;
#   neither, in a build with the tests   the sample installer this build
#                                        makes and signs (tests and demo);
#   neither otherwise                    nothing is pinned: every installer
#                                        gets the question.
# The digest reaches the program as the generated header InstallerPin.h,
# made by the target installer_pin, with the digest in InstallerPin.sha256
# beside it.
set(INSTALLER_SHA256 "" CACHE STRING "SHA-256 Authenticode digest of the installer the program starts unasked")
set(INSTALLER_SIGNED "" CACHE FILEPATH "The maker's signed installer the program starts unasked")
set(INSTALLER_PIN_FOLDER ${CMAKE_BINARY_DIR}/installer-pin)
set(INSTALLER_PIN_HEADER ${INSTALLER_PIN_FOLDER}/InstallerPin.h)
set(pin_script ${CMAKE_SOURCE_DIR}/tools/installer-pin.sh)
if(INSTALLER_SHA256)
  if(NOT INSTALLER_SHA256 MATCHES "^[0-9a-fA-F]+$" OR NOT INSTALLER_SHA256 MATCHES "^................................................................$")
    message(FATAL_ERROR "INSTALLER_SHA256 must be 64 hexadecimal digits, not ${INSTALLER_SHA256}")
  endif()
  set(pin_source ${INSTALLER_SHA256})
  set(pin_depends)
elseif(INSTALLER_SIGNED)
  set(pin_source ${INSTALLER_SIGNED})
  set(pin_depends ${INSTALLER_SIGNED})
elseif(DOWNLOADER_TESTS)
  # tests/CMakeLists.txt makes and signs it.
  set(pin_source ${CMAKE_BINARY_DIR}/tests/mark_program_signed.exe)
  set(pin_depends ${pin_source})
else()
  message(STATUS "No installer pinned (INSTALLER_SHA256): every downloaded installer gets the question")
  set(pin_source none)
  set(pin_depends)
endif()
add_custom_command(
  OUTPUT ${INSTALLER_PIN_HEADER}.stamp
  COMMAND bash ${pin_script} header ${pin_source} ${INSTALLER_PIN_HEADER}
  COMMAND ${CMAKE_COMMAND} -E touch ${INSTALLER_PIN_HEADER}.stamp
  DEPENDS ${pin_script} ${pin_depends}
  BYPRODUCTS ${INSTALLER_PIN_HEADER} ${INSTALLER_PIN_FOLDER}/InstallerPin.sha256
  COMMENT "Pinning the installer")
add_custom_target(installer_pin DEPENDS ${INSTALLER_PIN_HEADER}.stamp)
