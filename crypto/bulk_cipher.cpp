// Bulk cipher table rows: adapters from the typed contexts to void pointers.
#include "bulk_cipher.h"

#include "aes.h"
#include "des.h"

namespace {

void *aes_create(const uint8_t *key, int32_t keyLen, int32_t encrypt) { return CreateAESCtx(key, keyLen, encrypt); }
MSTATUS aes_free(void **ctx) {
    if (!ctx) return CRYPTO_OK;
    auto *c = static_cast<AesCtx *>(*ctx);
    MSTATUS st = FreeAESCtx(&c);
    *ctx = c;
    return st;
}
MSTATUS aes_cipher(void *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv) {
    return DoAES(static_cast<AesCtx *>(ctx), data, len, encrypt, iv);
}

void *des_create(const uint8_t *key, int32_t keyLen, int32_t encrypt) { return CreateDESCtx(key, keyLen, encrypt); }
void *tdes_create(const uint8_t *key, int32_t keyLen, int32_t encrypt) { return Create3DESCtx(key, keyLen, encrypt); }
MSTATUS des_free(void **ctx) {
    if (!ctx) return CRYPTO_OK;
    auto *c = static_cast<DesCbcCtx *>(*ctx);
    MSTATUS st = FreeDESCtx(&c);
    *ctx = c;
    return st;
}
MSTATUS des_cipher(void *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv) {
    return DoDES(static_cast<DesCbcCtx *>(ctx), data, len, encrypt, iv);
}
MSTATUS tdes_cipher(void *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv) {
    return Do3DES(static_cast<DesCbcCtx *>(ctx), data, len, encrypt, iv);
}

}  // namespace

extern "C" {

const CipherSuite CRYPTO_aesSuite = {AES_BLOCK_SIZE, aes_create, aes_free, aes_cipher};
const CipherSuite CRYPTO_desSuite = {DES_BLOCK_SIZE, des_create, des_free, des_cipher};
const CipherSuite CRYPTO_tdesSuite = {DES_BLOCK_SIZE, tdes_create, des_free, tdes_cipher};

}  // extern "C"
