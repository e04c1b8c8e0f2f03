# Reads a public key file that is to be built into bootmgr and refuses it
# unless it is an RSA-2048 "PUBLIC KEY" PEM of exactly 451 characters (the
# SubjectPublicKeyInfo form with LF line ends, as `openssl rsa -pubout`
# writes it) whose modulus is a full 2048-bit number and whose public
# exponent is 65537. The key's text, with C escapes for the line ends, goes
# to OUT_VAR.
#
# The length alone proves little: a 512-bit modulus padded with zero octets,
# or the exponent 3 or 1 written as 00 00 03, fits the same 451 characters,
# and the key import reads such integers. So the Base64 is decoded and the
# DER checked octet by octet against the one layout an RSA-2048 key with
# e = 65537 has (294 octets):
#   0   30 82 01 22                 SEQUENCE SubjectPublicKeyInfo
#   4   30 0d 06 09 2a..01 05 00    AlgorithmIdentifier rsaEncryption, NULL
#   19  03 82 01 0f 00              BIT STRING, no unused bits
#   24  30 82 01 0a                 SEQUENCE RSAPublicKey
#   28  02 82 01 01 00              INTEGER modulus: sign octet, then
#   33  256 octets, the first >= 0x80 (a true 2048-bit number)
#   289 02 03 01 00 01              INTEGER publicExponent 65537
set(BOOTMGR_GOOD_KEY_COMMAND
  "openssl genrsa -out KEY.pem 2048 && openssl rsa -in KEY.pem -pubout -out KEY.pub.pem")

# Decodes Base64 text without padding (its length a multiple of 4) into
# lower-case hex, two digits per octet.
function(bootmgr_base64_to_hex TEXT OUT_VAR)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${TEXT}" len)
  math(EXPR last "${len} - 1")
  set(hex "")
  foreach(at RANGE 0 ${last} 4)
    set(group 0)
    foreach(offset RANGE 0 3)
      math(EXPR i "${at} + ${offset}")
      string(SUBSTRING "${TEXT}" ${i} 1 c)
      string(FIND "${alphabet}" "${c}" value)
      math(EXPR group "(${group} << 6) | ${value}")
    endforeach()
    # A leading 1 keeps the three octets' leading zero digits.
    math(EXPR group "${group} | 0x1000000" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${group}" 3 6 octets)
    string(APPEND hex "${octets}")
  endforeach()
  string(TOLOWER "${hex}" hex)
  set(${OUT_VAR} "${hex}" PARENT_SCOPE)
endfunction()

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
      "\"PUBLIC KEY\" form of 451 characters (got ${len} characters); "
      "make one with: ${BOOTMGR_GOOD_KEY_COMMAND}")
  endif()
  string(SUBSTRING "${text}" 27 398 body)
  string(REPLACE "\n" "" body "${body}")
  string(LENGTH "${body}" body_len)
  # 294 octets are 392 Base64 characters without padding; other line
  # lengths or a '=' change that count.
  if(NOT body_len EQUAL 392 OR NOT body MATCHES "^[A-Za-z0-9+/]+$")
    message(FATAL_ERROR
      "The ${WHAT} key file ${FILE} does not hold the 294 DER octets of an RSA-2048 "
      "public key in 64-character lines; make a good key with: ${BOOTMGR_GOOD_KEY_COMMAND}")
  endif()
  # The 44 head characters fixed octets 0 to 32; the modulus starts at 33.
  bootmgr_base64_to_hex("${body}" der)
  string(SUBSTRING "${der}" 66 1 modulus_top)
  string(SUBSTRING "${der}" 578 10 der_tail)
  if(NOT modulus_top MATCHES "^[89a-f]$")
    message(FATAL_ERROR
      "The ${WHAT} key file ${FILE} has a modulus that is not a true 2048-bit number "
      "(its top bit is clear or it is padded with zero octets); "
      "make a good key with: ${BOOTMGR_GOOD_KEY_COMMAND}")
  endif()
  if(NOT der_tail STREQUAL "0203010001")
    message(FATAL_ERROR
      "The ${WHAT} key file ${FILE} has a public exponent other than 65537, which "
      "the boot manager refuses; make a good key with: ${BOOTMGR_GOOD_KEY_COMMAND}")
  endif()
  string(REPLACE "\n" "\\n" escaped "${text}")
  set(${OUT_VAR} "${escaped}" PARENT_SCOPE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${FILE}")
endfunction()
