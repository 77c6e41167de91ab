# Code signing for the tests, the demo and the benchmarks: certificates
# made at build time by tools/codesign.sh and signed copies of programs.
# Everything is written under the build folder.

# add_signing_authority(NAME TITLE): a root and a code-signing certificate
# in ${CMAKE_BINARY_DIR}/signing/NAME, made once. Sets SIGNING_ROOT_<NAME>
# to the root certificate (DER) for a certificate store.
function(add_signing_authority name title)
  set(folder ${CMAKE_BINARY_DIR}/signing/${name})
  add_custom_command(
    OUTPUT ${folder}/root.der
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/codesign.sh authority ${folder} "${title}"
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/codesign.sh
    COMMENT "Making the ${title} signing certificates")
  add_custom_target(signing_authority_${name} DEPENDS ${folder}/root.der)
  set(SIGNING_ROOT_${name} ${folder}/root.der PARENT_SCOPE)
endfunction()

# add_signed_copy(TARGET PROGRAM AUTHORITY OUTPUT): OUTPUT is a copy of the
# program target PROGRAM signed by AUTHORITY, made by the target TARGET.
function(add_signed_copy target program authority output)
  set(folder ${CMAKE_BINARY_DIR}/signing/${authority})
  add_custom_command(
    OUTPUT ${output}
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/codesign.sh sign ${folder} $<TARGET_FILE:${program}> ${output}
    DEPENDS ${program} ${folder}/root.der ${CMAKE_SOURCE_DIR}/tools/codesign.sh
    COMMENT "Signing ${program} with the ${authority} certificate")
  add_custom_target(${target} ALL DEPENDS ${output})
  add_dependencies(${target} signing_authority_${authority})
endfunction()
