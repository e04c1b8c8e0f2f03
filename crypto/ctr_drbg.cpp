// CTR_DRBG of SP 800-90A (section 10.2.1) with AES or triple DES, with and
// without the block-cipher derivation function (section 10.3.2).
#include "ctr_drbg.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "aes.h"
#include "byteorder.h"
#include "des.h"

namespace {

constexpr uint32_t kMaxSeed = 48;     // 32-byte key + 16-byte block
constexpr uint32_t kDfMaxOut = 64;

// Owning byte buffer that wipes itself; allocation never throws.
struct Buf {
    uint8_t *p = nullptr;
    uint32_t n = 0;
    explicit Buf(uint32_t size) : p(new (std::nothrow) uint8_t[size ? size : 1]), n(size) {}
    ~Buf() {
        if (p) CRYPTO_secureZero(p, n);
        delete[] p;
    }
    Buf(const Buf &) = delete;
    Buf &operator=(const Buf &) = delete;
};

uint32_t seed_len(const CtrDrbgState &s) { return s.keyLen + s.blockLen; }


// 168 key bits to three 8-byte DES keys: each 7 bits become the high bits
// of one key byte, whose low (parity) bit is left 0.
void expand_tdes_key(const uint8_t *key21, uint8_t *key24) {
    for (int j = 0; j < 24; ++j) {
        uint8_t b = 0;
        for (int k = 0; k < 7; ++k) {
            const int bit = 7 * j + k;
            b = static_cast<uint8_t>((b << 1) | ((key21[bit / 8] >> (7 - bit % 8)) & 1));
        }
        key24[j] = static_cast<uint8_t>(b << 1);
    }
}

bool valid_lengths(uint32_t keyLen, uint32_t blockLen, MSTATUS *st) {
    if (blockLen != 8 && blockLen != 16) {
        *st = ERR_DRBG_BAD_BLOCK_LENGTH;
        return false;
    }
    const bool ok = blockLen == 16 ? (keyLen == 16 || keyLen == 24 || keyLen == 32) : keyLen == 21;
    if (!ok) *st = ERR_DRBG_BAD_KEY_LENGTH;
    return ok;
}

void aes_set_key(void *cipher, uint32_t keyLen, const uint8_t *key) {
    AES_initKey(static_cast<AesCtx *>(cipher), key, static_cast<int32_t>(keyLen * 8), 1, AES_MODE_ECB);
}

void aes_block(const void *cipher, const uint8_t *in, uint8_t *out) {
    AES_encryptBlock(static_cast<const AesCtx *>(cipher), in, out);
}

void tdes_set_key(void *cipher, uint32_t, const uint8_t *key) {
    uint8_t k24[24];
    expand_tdes_key(key, k24);
    TDES_initKey(static_cast<TdesKey *>(cipher), k24);
    CRYPTO_secureZero(k24, sizeof k24);
}

void tdes_block(const void *cipher, const uint8_t *in, uint8_t *out) {
    TDES_encryptBlock(static_cast<const TdesKey *>(cipher), in, out);
}

// The two block ciphers. A context holds its cipher's functions, so that only
// the instantiation that chooses between them names both: a program that
// instantiates AES alone (CTR_DRBG_newAes) links no triple DES.
struct CipherKind {
    uint32_t blockLen;
    size_t contextSize;
    void (*setKey)(void *cipher, uint32_t keyLen, const uint8_t *key);
    void (*encryptBlock)(const void *cipher, const uint8_t *in, uint8_t *out);
};
constexpr CipherKind kAes = {16, sizeof(AesCtx), aes_set_key, aes_block};
constexpr CipherKind kTdes = {8, sizeof(TdesKey), tdes_set_key, tdes_block};

const CipherKind &kind_of(uint32_t blockLen) { return blockLen == 16 ? kAes : kTdes; }

void increment(uint8_t *v, uint32_t n) {
    for (uint32_t i = n; i-- > 0;)
        if (++v[i] != 0) break;
}

// CTR_DRBG_Update: provided is seed-length bytes (or null for zeros).
void update(CtrDrbgState &s, const uint8_t *provided) {
    const uint32_t sl = seed_len(s);
    uint8_t temp[kMaxSeed + 16];
    for (uint32_t off = 0; off < sl; off += s.blockLen) {
        increment(s.V, s.blockLen);
        s.encryptBlock(s.cipher, s.V, temp + off);
    }
    if (provided)
        for (uint32_t i = 0; i < sl; ++i) temp[i] ^= provided[i];
    s.setKey(s.cipher, s.keyLen, temp);
    std::memcpy(s.V, temp + s.keyLen, s.blockLen);
    CRYPTO_secureZero(temp, sizeof temp);
}

// Block_Cipher_df over the concatenation of up to three pieces, on the
// cipher and key length of s (whose own key and V are left alone).
MSTATUS derive(const CtrDrbgState &s, const uint8_t *const *parts, const uint32_t *lens, int nparts, uint8_t *out,
               uint32_t outLen) {
    const uint32_t keyLen = s.keyLen;
    const uint32_t blockLen = s.blockLen;
    if (outLen > kDfMaxOut) return ERR_DRBG_DF_TOO_LONG;
    uint64_t inLen64 = 0;
    for (int i = 0; i < nparts; ++i) inLen64 += lens[i];
    if (inLen64 > 0xFFFFFFFFu - 64) return ERR_DRBG_TOO_MANY_BITS;
    const uint32_t inLen = static_cast<uint32_t>(inLen64);
    // S = L || N || input || 0x80 || zero padding, after an IV block.
    uint32_t sLen = 8 + inLen + 1;
    sLen = (sLen + blockLen - 1) / blockLen * blockLen;
    Buf buf(blockLen + sLen);
    if (!buf.p) return ERR_MEM_ALLOC_FAIL;
    std::memset(buf.p, 0, blockLen + sLen);
    uint8_t *S = buf.p + blockLen;
    store_be32(S, inLen);
    store_be32(S + 4, outLen);
    uint32_t pos = 8;
    for (int i = 0; i < nparts; ++i) {
        if (lens[i]) std::memcpy(S + pos, parts[i], lens[i]);
        pos += lens[i];
    }
    S[pos] = 0x80;

    alignas(8) uint8_t cipherMem[sizeof(AesCtx) > sizeof(TdesKey) ? sizeof(AesCtx) : sizeof(TdesKey)];
    uint8_t K[32];
    for (uint32_t i = 0; i < keyLen; ++i) K[i] = static_cast<uint8_t>(i);
    s.setKey(cipherMem, keyLen, K);
    const auto enc = s.encryptBlock;

    const uint32_t sl = keyLen + blockLen;
    uint8_t temp[kMaxSeed + 16];
    for (uint32_t i = 0, done = 0; done < sl; ++i, done += blockLen) {
        std::memset(buf.p, 0, blockLen);
        store_be32(buf.p, i);
        // BCC: CBC-MAC with a zero IV over IV block || S.
        uint8_t chain[16] = {};
        for (uint32_t off = 0; off < blockLen + sLen; off += blockLen) {
            for (uint32_t j = 0; j < blockLen; ++j) chain[j] ^= buf.p[off + j];
            enc(cipherMem, chain, chain);
        }
        std::memcpy(temp + done, chain, blockLen);
    }
    s.setKey(cipherMem, keyLen, temp);
    uint8_t X[16];
    std::memcpy(X, temp + keyLen, blockLen);
    for (uint32_t done = 0; done < outLen; done += blockLen) {
        enc(cipherMem, X, X);
        std::memcpy(out + done, X, outLen - done < blockLen ? outLen - done : blockLen);
    }
    CRYPTO_secureZero(cipherMem, sizeof cipherMem);
    CRYPTO_secureZero(temp, sizeof temp);
    CRYPTO_secureZero(X, sizeof X);
    return CRYPTO_OK;
}

MSTATUS create(RandomCtx **out, const CipherKind &kind, uint32_t keyLen, bool useDf) {
    auto *ctx = static_cast<RandomCtx *>(std::calloc(1, sizeof(RandomCtx)));
    if (!ctx) return ERR_MEM_ALLOC_FAIL;
    ctx->type = RANDOM_TYPE_CTR_DRBG;
    ctx->processId = getpid();
    CtrDrbgState &s = ctx->u.drbg;
    s.blockLen = kind.blockLen;
    s.keyLen = keyLen;
    s.useDf = useDf ? 1u : 0u;
    s.setKey = kind.setKey;
    s.encryptBlock = kind.encryptBlock;
    s.V = static_cast<uint8_t *>(std::calloc(1, kind.blockLen));
    s.cipher = std::calloc(1, kind.contextSize);
    if (!s.V || !s.cipher) {
        RANDOM_free(&ctx);
        return ERR_MEM_ALLOC_FAIL;
    }
    const uint8_t zeroKey[32] = {};
    s.setKey(s.cipher, keyLen, zeroKey);
    *out = ctx;
    return CRYPTO_OK;
}

// The checks of CTR_DRBG_new, in the order its contract gives the codes.
MSTATUS check_new(RandomCtx **out, const uint8_t *entropy, uint32_t entropyLen, uint32_t keyLen, uint32_t blockLen,
                  const uint8_t *pers, uint32_t persLen) {
    if (!out || !entropy || (!pers && persLen)) return ERR_NULL_POINTER;
    *out = nullptr;
    if (static_cast<uint64_t>(persLen) > static_cast<uint64_t>(keyLen) + blockLen) return ERR_DRBG_PERS_TOO_LONG;
    MSTATUS st = CRYPTO_OK;
    if (!valid_lengths(keyLen, blockLen, &st)) return st;
    if (entropyLen != keyLen + blockLen) return ERR_DRBG_BAD_ENTROPY_LENGTH;
    return CRYPTO_OK;
}

MSTATUS instantiate(RandomCtx **out, const CipherKind &kind, const uint8_t *entropy, uint32_t entropyLen,
                    uint32_t keyLen, const uint8_t *pers, uint32_t persLen) {
    RandomCtx *ctx = nullptr;
    MSTATUS st = create(&ctx, kind, keyLen, false);
    if (st != CRYPTO_OK) return st;
    // Instantiate = reseed from the all-zero state with pers as additional input.
    st = CTR_DRBG_reseed(ctx, entropy, entropyLen, pers, persLen);
    if (st != CRYPTO_OK) {
        RANDOM_free(&ctx);
        return st;
    }
    *out = ctx;
    return CRYPTO_OK;
}

}  // namespace

extern "C" {

MSTATUS CTR_DRBG_new(RandomCtx **out, const uint8_t *entropy, uint32_t entropyLen,
                     uint32_t keyLen, uint32_t blockLen, const uint8_t *pers, uint32_t persLen) {
    const MSTATUS st = check_new(out, entropy, entropyLen, keyLen, blockLen, pers, persLen);
    if (st != CRYPTO_OK) return st;
    return instantiate(out, kind_of(blockLen), entropy, entropyLen, keyLen, pers, persLen);
}

MSTATUS CTR_DRBG_newAes(RandomCtx **out, const uint8_t *entropy, uint32_t entropyLen, uint32_t keyLen,
                        const uint8_t *pers, uint32_t persLen) {
    const MSTATUS st = check_new(out, entropy, entropyLen, keyLen, kAes.blockLen, pers, persLen);
    if (st != CRYPTO_OK) return st;
    return instantiate(out, kAes, entropy, entropyLen, keyLen, pers, persLen);
}

MSTATUS CTR_DRBG_newDf(RandomCtx **out, const uint8_t *entropy, uint32_t entropyLen,
                       const uint8_t *nonce, uint32_t nonceLen, uint32_t keyLen, uint32_t blockLen,
                       const uint8_t *pers, uint32_t persLen) {
    if (!out || !entropy || (!pers && persLen) || (!nonce && nonceLen)) return ERR_NULL_POINTER;
    *out = nullptr;
    MSTATUS st = CRYPTO_OK;
    if (!valid_lengths(keyLen, blockLen, &st)) return st;
    if (entropyLen < keyLen) return ERR_DRBG_BAD_ENTROPY_LENGTH;
    RandomCtx *ctx = nullptr;
    if ((st = create(&ctx, kind_of(blockLen), keyLen, true)) != CRYPTO_OK) return st;
    uint8_t seed[kMaxSeed];
    const uint8_t *parts[3] = {entropy, nonce, pers};
    const uint32_t lens[3] = {entropyLen, nonceLen, persLen};
    st = derive(ctx->u.drbg, parts, lens, 3, seed, keyLen + blockLen);
    if (st == CRYPTO_OK) {
        update(ctx->u.drbg, seed);
        ctx->u.drbg.reseedCounterHigh = 0;
        ctx->u.drbg.reseedCounterLow = 1;
        *out = ctx;
    } else {
        RANDOM_free(&ctx);
    }
    CRYPTO_secureZero(seed, sizeof seed);
    return st;
}

MSTATUS CTR_DRBG_reseed(RandomCtx *ctx, const uint8_t *entropy, uint32_t entropyLen,
                        const uint8_t *add, uint32_t addLen) {
    if (!ctx || ctx->type != RANDOM_TYPE_CTR_DRBG || !entropy || (!add && addLen)) return ERR_NULL_POINTER;
    CtrDrbgState &s = ctx->u.drbg;
    const uint32_t sl = seed_len(s);
    uint8_t seed[kMaxSeed];
    if (s.useDf) {
        if (entropyLen < s.keyLen) return ERR_DRBG_BAD_ENTROPY_LENGTH;
        const uint8_t *parts[2] = {entropy, add};
        const uint32_t lens[2] = {entropyLen, addLen};
        MSTATUS st = derive(s, parts, lens, 2, seed, sl);
        if (st != CRYPTO_OK) return st;
    } else {
        if (entropyLen != sl) return ERR_DRBG_BAD_ENTROPY_LENGTH;
        std::memcpy(seed, entropy, sl);
        for (uint32_t i = 0; i < addLen && i < sl; ++i) seed[i] ^= add[i];
    }
    update(s, seed);
    CRYPTO_secureZero(seed, sizeof seed);
    s.reseedCounterHigh = 0;
    s.reseedCounterLow = 1;
    return CRYPTO_OK;
}

MSTATUS CTR_DRBG_generate(RandomCtx *ctx, const uint8_t *add, uint32_t addLen, uint8_t *out, uint32_t bits) {
    if (!ctx || ctx->type != RANDOM_TYPE_CTR_DRBG || (!add && addLen) || (!out && bits)) return ERR_NULL_POINTER;
    CtrDrbgState &s = ctx->u.drbg;
    const bool aes = s.blockLen == 16;
    if (aes ? s.reseedCounterHigh > 0xFFFFu : s.reseedCounterHigh != 0) return ERR_DRBG_RESEED_REQUIRED;
    if (aes ? bits >= (1u << 19) : bits > 8191u) return ERR_DRBG_TOO_MANY_BITS;
    const uint32_t sl = seed_len(s);
    uint8_t addSeed[kMaxSeed] = {};
    bool haveAdd = false;
    if (addLen) {
        if (s.useDf) {
            const uint8_t *parts[1] = {add};
            const uint32_t lens[1] = {addLen};
            MSTATUS st = derive(s, parts, lens, 1, addSeed, sl);
            if (st != CRYPTO_OK) return st;
        } else {
            std::memcpy(addSeed, add, addLen < sl ? addLen : sl);
        }
        update(s, addSeed);
        haveAdd = true;
    }
    const uint32_t bytes = (bits + 7) / 8;
    uint8_t block[16];
    for (uint32_t off = 0; off < bytes; off += s.blockLen) {
        increment(s.V, s.blockLen);
        s.encryptBlock(s.cipher, s.V, block);
        const uint32_t n = bytes - off < s.blockLen ? bytes - off : s.blockLen;
        std::memcpy(out + off, block, n);
    }
    CRYPTO_secureZero(block, sizeof block);
    update(s, haveAdd ? addSeed : nullptr);
    CRYPTO_secureZero(addSeed, sizeof addSeed);
    if (++s.reseedCounterLow == 0) ++s.reseedCounterHigh;
    return CRYPTO_OK;
}

MSTATUS CTR_DRBG_df(const RandomCtx *ctx, const uint8_t *in, uint32_t inLen, uint8_t *out, uint32_t outLen) {
    if (!ctx || ctx->type != RANDOM_TYPE_CTR_DRBG || (!in && inLen) || (!out && outLen)) return ERR_NULL_POINTER;
    const uint8_t *parts[1] = {in};
    const uint32_t lens[1] = {inLen};
    return derive(ctx->u.drbg, parts, lens, 1, out, outLen);
}

}  // extern "C"
