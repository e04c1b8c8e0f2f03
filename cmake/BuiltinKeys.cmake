# Reads a public key file that is to be built into bootmgr and refuses it
# unless it is an RSA-2048 "PUBLIC KEY" PEM of exactly 451 characters (the
# SubjectPublicKeyInfo form with LF line ends, as `openssl rsa -pubout`
# writes it). The key's text, with C escapes for the line ends, goes to
# OUT_VAR.
function(bootmgr_read_builtin_key WHAT FILE OUT_VAR)
  if(NOT EXISTS "${FILE}")
    message(FATAL_ERROR "The ${WHAT} key file ${FILE} does not exist.")
  endif()
  file(READ "${FILE}" text)
  string(LENGTH "${text}" len)
  # The base64 of every RSA-2048 SubjectPublicKeyInfo starts with these 44
  # characters: SEQUENCE, rsaEncryption OID, NULL, BIT STRING, SEQUENCE,
  # INTEGER of 257 bytes.
  set(head "-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA")
  set(tail "\n-----END PUBLIC KEY-----\n")
  string(FIND "${text}" "${head}" head_at)
  string(FIND "${text}" "${tail}" tail_at REVERSE)
  string(REGEX MATCH "^-----BEGIN PUBLIC KEY-----\n([A-Za-z0-9+/]+\n)+[A-Za-z0-9+/=]+\n-----END PUBLIC KEY-----\n$" shape "${text}")
  if(NOT len EQUAL 451 OR NOT head_at EQUAL 0 OR NOT tail_at EQUAL 425 OR NOT shape)
    message(FATAL_ERROR
      "The ${WHAT} key file ${FILE} is not an RSA-2048 public key in PEM "
      "\"PUBLIC KEY\" form of 451 characters (got ${len} characters). "
      "Make one with: openssl rsa -in PRIVATE.pem -pubout -out PUBLIC.pem")
  endif()
  string(REPLACE "\n" "\\n" escaped "${text}")
  set(${OUT_VAR} "${escaped}" PARENT_SCOPE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${FILE}")
endfunction()
