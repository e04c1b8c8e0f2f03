# Fuzz targets of the key import and RSA verification parsers (included from
# CMakeLists.txt in this folder; preset fuzz only).
set(BMCRYPTO_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer)
# The library is instrumented too, so coverage reaches into it.
target_compile_options(bmcrypto PRIVATE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
target_link_options(bmcrypto INTERFACE -fsanitize=address,undefined)
foreach(t fuzz_asn1_parse fuzz_pem_base64 fuzz_key_blob fuzz_convert_public_key fuzz_rsa_verify_digest_info)
  add_executable(${t} ${t}.cpp)
  target_link_libraries(${t} PRIVATE bmcrypto)
  target_compile_options(${t} PRIVATE ${BMCRYPTO_FUZZ_FLAGS})
  target_link_options(${t} PRIVATE ${BMCRYPTO_FUZZ_FLAGS})
endforeach()
