# Authenticode signing of the release tool, when the vendor gives a certificate: a PEM certificate
# and key, or a PKCS#12 file; either may come with a file that holds the password. The signed copy
# is <build>/signed/QuorvaneReleaseTool.exe, verified before it lands there; the unsigned program
# stays in app/, where its bytes depend only on the sources and the payload. Only paths pass through
# the cache and the command lines: osslsigncode and openssl read the password file themselves.

set(QUORVANE_SIGN_CERT "" CACHE FILEPATH "PEM certificate (with its chain) to sign QuorvaneReleaseTool.exe with")
set(QUORVANE_SIGN_KEY "" CACHE FILEPATH "PEM private key of QUORVANE_SIGN_CERT")
set(QUORVANE_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file (certificate and key) to sign with, instead of CERT and KEY")
set(QUORVANE_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File whose first line is the password of the key or PKCS#12 file")
set(QUORVANE_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping server for the signature (optional)")
# The description Windows shows for a signed program: the version block's ProductName.
set(QUORVANE_SIGN_DESCRIPTION "QuorvaneSoft")

if(NOT QUORVANE_SIGN_CERT AND NOT QUORVANE_SIGN_KEY AND NOT QUORVANE_SIGN_PKCS12)
  return()
endif()
if(NOT TARGET QuorvaneReleaseTool)
  message(FATAL_ERROR "Signing asked for, but this build has no QuorvaneReleaseTool (the windows preset has)")
endif()

set(sign_options)
if(QUORVANE_SIGN_PKCS12)
  if(QUORVANE_SIGN_CERT OR QUORVANE_SIGN_KEY)
    message(FATAL_ERROR "Sign with QUORVANE_SIGN_PKCS12 or with QUORVANE_SIGN_CERT and QUORVANE_SIGN_KEY, not both")
  endif()
  list(APPEND sign_options --pkcs12 ${QUORVANE_SIGN_PKCS12})
elseif(QUORVANE_SIGN_CERT AND QUORVANE_SIGN_KEY)
  list(APPEND sign_options --cert ${QUORVANE_SIGN_CERT} --key ${QUORVANE_SIGN_KEY})
else()
  message(FATAL_ERROR "QUORVANE_SIGN_CERT and QUORVANE_SIGN_KEY go together")
endif()
if(QUORVANE_SIGN_PASSWORD_FILE)
  list(APPEND sign_options --password-file ${QUORVANE_SIGN_PASSWORD_FILE})
endif()
if(QUORVANE_SIGN_TIMESTAMP_URL)
  list(APPEND sign_options --timestamp-url ${QUORVANE_SIGN_TIMESTAMP_URL})
endif()
list(APPEND sign_options --description ${QUORVANE_SIGN_DESCRIPTION})

# A wrong file or password is told now, not after the whole build. The check's own messages carry
# no secret; its output is shown, never kept.
set(sign_script ${CMAKE_CURRENT_LIST_DIR}/sign-exe.sh)
execute_process(COMMAND ${sign_script} check ${sign_options} RESULT_VARIABLE sign_check ERROR_VARIABLE sign_problem)
if(NOT sign_check EQUAL 0)
  message(FATAL_ERROR "QuorvaneReleaseTool.exe cannot be signed:\n${sign_problem}")
endif()

set(signed_tool ${CMAKE_BINARY_DIR}/signed/QuorvaneReleaseTool.exe)
# Make does not notice a changed command line; a stamp of the options (paths only) does.
set(sign_stamp ${CMAKE_BINARY_DIR}/signed/options.txt)
file(CONFIGURE OUTPUT ${sign_stamp} CONTENT "${sign_options}\n")
add_custom_command(
  OUTPUT ${signed_tool}
  COMMAND ${sign_script} sign ${sign_options} $<TARGET_FILE:QuorvaneReleaseTool> ${signed_tool}
  DEPENDS QuorvaneReleaseTool ${sign_script} ${sign_stamp} ${QUORVANE_SIGN_CERT} ${QUORVANE_SIGN_KEY}
          ${QUORVANE_SIGN_PKCS12} ${QUORVANE_SIGN_PASSWORD_FILE}
  COMMENT "Signing QuorvaneReleaseTool.exe"
  VERBATIM)
add_custom_target(quorvane_signed_tool ALL DEPENDS ${signed_tool})
