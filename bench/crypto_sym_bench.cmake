# SHA-256 and AES-128-CBC against OpenSSL and mbedTLS in the same run
# (included from CMakeLists.txt here; host builds only).
find_package(benchmark REQUIRED)
find_package(OpenSSL REQUIRED)
add_executable(bench_crypto bench_crypto.cpp bench_crypto_peers.cpp)
target_link_libraries(bench_crypto PRIVATE bmcrypto benchmark::benchmark OpenSSL::Crypto mbedcrypto)
