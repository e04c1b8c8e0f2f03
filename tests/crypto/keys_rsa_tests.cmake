# Tests of the big integers, RSA verification and key import (included from
# CMakeLists.txt in this folder).
bootmgr_unit_test(crypto_rsa_test
  SOURCES rsa_wycheproof_test.cpp vlong_test.cpp key_import_test.cpp rsa_test.cpp
  LIBS bmcrypto)

if(BOOTMGR_HOST_TOOLS)
  # OpenSSL as an independent oracle: host only.
  find_package(OpenSSL REQUIRED)
  bootmgr_unit_test(crypto_rsa_oracle_test
    SOURCES vlong_oracle_test.cpp rsa_oracle_test.cpp
    LIBS bmcrypto OpenSSL::Crypto)
endif()
