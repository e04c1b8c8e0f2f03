# RSA verification, modular exponentiation and PEM key import against
# OpenSSL and mbedTLS in the same run (included from CMakeLists.txt here).
find_package(benchmark REQUIRED)
find_package(OpenSSL REQUIRED)
add_executable(bench_rsa bench_rsa.cpp)
target_link_libraries(bench_rsa PRIVATE bmcrypto benchmark::benchmark OpenSSL::Crypto mbedcrypto)
target_compile_definitions(bench_rsa PRIVATE TEST_VECTOR_DIR="${PROJECT_SOURCE_DIR}/tests/vectors")
