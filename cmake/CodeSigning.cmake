# Code signing for the tests, the demo and the benchmarks: certificates
# made at build time by tools/codesign.sh and signed copies of programs.
# Everything is written under the build folder.

# add_signing_authority(NAME ROOT_SUBJECT SIGNER_SUBJECT): a root and a
# code-signing certificate in ${CMAKE_BINARY_DIR}/signing/NAME, made once.
# Sets SIGNING_ROOT_<NAME> to the root certificate (DER) for a certificate
# store and SIGNING_CERTIFICATE_<NAME> to the signer's (DER).
function(add_signing_authority name root_subject signer_subject)
  set(folder ${CMAKE_BINARY_DIR}/signing/${name})
  add_custom_command(
    OUTPUT ${folder}/root.der
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/codesign.sh authority ${folder} "${root_subject}" "${signer_subject}"
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/codesign.sh
    COMMENT "Making the ${name} signing certificates")
  add_custom_target(signing_authority_${name} DEPENDS ${folder}/root.der)
  set(SIGNING_ROOT_${name} ${folder}/root.der PARENT_SCOPE)
  set(SIGNING_CERTIFICATE_${name} ${folder}/signer.der PARENT_SCOPE)
endfunction()

# add_signing_identity(NAME AUTHORITY SIGNER_SUBJECT): a further
# code-signing certificate in ${CMAKE_BINARY_DIR}/signing/NAME, issued by the
# root of the authority AUTHORITY, for add_signed_copy.
function(add_signing_identity name authority signer_subject)
  set(folder ${CMAKE_BINARY_DIR}/signing/${name})
  set(issuer ${CMAKE_BINARY_DIR}/signing/${authority})
  add_custom_command(
    OUTPUT ${folder}/root.der
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/codesign.sh signer ${folder} ${issuer} "${signer_subject}"
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/codesign.sh ${issuer}/root.der
    COMMENT "Making the ${name} signing certificate")
  add_custom_target(signing_authority_${name} DEPENDS ${folder}/root.der)
  add_dependencies(signing_authority_${name} signing_authority_${authority})
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
