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

if(BOOTMGR_HOST_TOOLS)
  # The same oracle tests over the 32-bit limb kernels that the board runs:
  # this binary carries its own copy of the big-integer sources built narrow,
  # which takes the place of the library's.
  bootmgr_unit_test(crypto_vlong_narrow_oracle_test
    SOURCES vlong_oracle_test.cpp rsa_oracle_test.cpp
            ${PROJECT_SOURCE_DIR}/crypto/vlong.cpp ${PROJECT_SOURCE_DIR}/crypto/vlong_arith.cpp
            ${PROJECT_SOURCE_DIR}/crypto/vlong_mul.cpp ${PROJECT_SOURCE_DIR}/crypto/vlong_modexp.cpp
    LIBS bmcrypto OpenSSL::Crypto)
  target_compile_definitions(crypto_vlong_narrow_oracle_test PRIVATE VLONG_NARROW_LIMBS)
endif()
