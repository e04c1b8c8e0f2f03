// RSA keys and signature verification: see include/rsa.h for the contract.
#include "rsa.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "asn1.h"
#include "crypto_platform.h"
#include "key_blob.h"
#include "rsa_digest_info.h"

namespace {

void release(vlong** v) {
    if (*v != nullptr) VLONG_release(v, nullptr);
}

void free_ctx(MontgomeryCtx** c) {
    if (*c != nullptr) {
        VLONG_freeMontgomeryCtx(*c);
        CRYPTO_free(*c);
        *c = nullptr;
    }
}

void clear_key(RsaKey* k) {
    release(&k->exponent);
    release(&k->modulus);
    for (vlong*& p : k->privateParts) release(&p);
    for (MontgomeryCtx*& c : k->primeContexts) free_ctx(&c);
    k->isPrivate = 0;
}

// Owns a vlong until taken.
struct Val {
    vlong* v = nullptr;
    ~Val() { release(&v); }
};

int32_t sub_one(vlong* v) {
    vlong* one = nullptr;
    int32_t s = VLONG_fromUnit(1, &one, nullptr);
    if (s < 0) return s;
    s = VLONG_sub(v, one, nullptr);
    VLONG_release(&one, nullptr);
    return s;
}

// Digest algorithms of a DigestInfo, matched in order: the RSA digest
// prefix with a last arc, the NIST hash prefix with a last arc, then the two
// SHA-1 identifiers as whole values.
const uint8_t kRsaDigestPrefix[] = {7, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02};  // 1.2.840.113549.2
const uint8_t kNistHashPrefix[] = {8, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};  // 2.16.840.1.101.3.4.2
const uint8_t kSha1Oid[] = {5, 0x2B, 0x0E, 0x03, 0x02, 0x1A};       // 1.3.14.3.2.26
const uint8_t kSha1OidAlt[] = {5, 0x2B, 0x0E, 0x03, 0x02, 0x1D};    // 1.3.14.3.2.29

int32_t identify_digest(const Asn1Node* algorithm, uint32_t* size, int32_t* type) {
    uint32_t arc = 0;
    int32_t s = ASN1_matchOid(algorithm, kRsaDigestPrefix, &arc);
    if (s == 0) {
        switch (arc) {
            case 2: *size = 16; *type = RSA_HASH_MD2; break;
            case 4: *size = 16; *type = RSA_HASH_MD4; break;
            case 5: *size = 16; *type = 4; break;
            default: *size = 0; *type = -1; break;
        }
        return 0;
    }
    s = ASN1_matchOid(algorithm, kNistHashPrefix, &arc);
    if (s == 0) {
        switch (arc) {
            case 1: *size = 32; *type = 11; break;
            case 2: *size = 48; *type = 12; break;
            case 3: *size = 64; *type = 13; break;
            case 4: *size = 28; *type = 14; break;
            default: *size = 0; *type = -1; break;
        }
        return 0;
    }
    s = ASN1_matchOid(algorithm, kSha1Oid, nullptr);
    if (s != 0) s = ASN1_matchOid(algorithm, kSha1OidAlt, nullptr);
    if (s == 0) {
        *size = 20;
        *type = 5;
    }
    return s;
}

struct Buffer {
    uint8_t* p = nullptr;
    uint32_t n = 0;
    explicit Buffer(uint32_t size) : p(static_cast<uint8_t*>(CRYPTO_malloc(size > 0 ? size : 1))), n(size) {}
    ~Buffer() {
        if (p != nullptr) {
            std::memset(p, 0, n);
            CRYPTO_free(p);
        }
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
};

}  // namespace

namespace bmcrypto_rsa {

int32_t read_digest_info(const uint8_t* payload, uint32_t payloadLength, uint8_t* digest, uint32_t* digestLength,
                         int32_t* hashType) {
    Asn1Stream stream;
    MemBuffer mem;
    ASN1_memStream(&stream, &mem, payload, payloadLength);
    Asn1Node* root = nullptr;
    int32_t s = ASN1_parse(&stream, &root);
    if (s < 0) return s;
    struct TreeGuard {
        Asn1Node* r;
        ~TreeGuard() { ASN1_freeTree(r); }
    } guard{root};

    const Asn1Node* info = root->firstChild;
    if (info == nullptr || static_cast<uint64_t>(info->headerSize) + info->length != payloadLength ||
        info->firstChild == nullptr) {
        return ERR_RSA_BAD_DIGEST_INFO;
    }
    uint32_t size = 0;
    int32_t type = -1;
    if ((s = identify_digest(info->firstChild, &size, &type)) < 0) return s;
    const Asn1Node* octets = info->firstChild->nextSibling;
    if (octets == nullptr || octets->length != size ||
        static_cast<uint64_t>(octets->dataOffset) + octets->length != payloadLength) {
        return ERR_RSA_BAD_SIGNATURE_LENGTH;
    }
    std::memset(digest, 0, RSA_MAX_DIGEST_SIZE);
    if (size > 0) std::memcpy(digest, payload + octets->dataOffset, size);
    *digestLength = size;
    *hashType = type;
    return 0;
}

}  // namespace bmcrypto_rsa

extern "C" {

int32_t RSA_createKey(RsaKey** key) {
    if (key == nullptr) return ERR_NULL_POINTER;
    auto* k = static_cast<RsaKey*>(CRYPTO_malloc(sizeof(RsaKey)));
    if (k == nullptr) return ERR_MEM_ALLOC_FAIL;
    std::memset(k, 0, sizeof(*k));
    *key = k;
    return 0;
}

int32_t RSA_freeKey(RsaKey** key) {
    if (key == nullptr || *key == nullptr) return ERR_NULL_POINTER;
    clear_key(*key);
    CRYPTO_free(*key);
    *key = nullptr;
    return 0;
}

int32_t RSA_setPublicKeyData(RsaKey* key, const uint8_t* e, uint32_t eLen, const uint8_t* n, uint32_t nLen) {
    if (key == nullptr) return ERR_NULL_POINTER;
    if (eLen > 0x7FFFFFFFu || nLen > 0x7FFFFFFFu) return VLONG_ERR_SIZE;
    clear_key(key);
    int32_t s = VLONG_fromBytes(e, static_cast<int32_t>(eLen), &key->exponent, nullptr);
    if (s == 0) s = VLONG_fromBytes(n, static_cast<int32_t>(nLen), &key->modulus, nullptr);
    if (s < 0) clear_key(key);
    return s;
}

int32_t RSA_setPrivateKeyData(RsaKey* key, const uint8_t* e, uint32_t eLen, const uint8_t* n, uint32_t nLen,
                              const uint8_t* p, uint32_t pLen, const uint8_t* q, uint32_t qLen) {
    if (key == nullptr) return ERR_NULL_POINTER;
    if (pLen > 0x7FFFFFFFu || qLen > 0x7FFFFFFFu) return VLONG_ERR_SIZE;
    int32_t s = RSA_setPublicKeyData(key, e, eLen, n, nLen);
    if (s < 0) return s;
    Val vp, vq, pm1, qm1, prod;
    if ((s = VLONG_fromBytes(p, static_cast<int32_t>(pLen), &vp.v, nullptr)) < 0 ||
        (s = VLONG_fromBytes(q, static_cast<int32_t>(qLen), &vq.v, nullptr)) < 0 ||
        (s = VLONG_create(&prod.v, nullptr)) < 0) {
        clear_key(key);
        return s;
    }
    if (VLONG_cmpMagnitude(vp.v, vq.v) < 0) std::swap(vp.v, vq.v);
    // The primes must multiply to the modulus, or the key is not one.
    s = VLONG_mulBits(prod.v, vp.v, vq.v, VLONG_bits(vp.v) + VLONG_bits(vq.v));
    if (s == 0 && (vq.v->numUnitsUsed == 0 || VLONG_cmpMagnitude(prod.v, key->modulus) != 0)) s = ERR_KEY_BLOB;
    if (s == 0) s = VLONG_clone(vp.v, &pm1.v, nullptr);
    if (s == 0) s = sub_one(pm1.v);
    if (s == 0) s = VLONG_clone(vq.v, &qm1.v, nullptr);
    if (s == 0) s = sub_one(qm1.v);
    if (s == 0) s = VLONG_invMod(key->exponent, pm1.v, &key->privateParts[2], nullptr);
    if (s == 0) s = VLONG_invMod(key->exponent, qm1.v, &key->privateParts[3], nullptr);
    if (s == 0) s = VLONG_invMod(vq.v, vp.v, &key->privateParts[4], nullptr);
    for (int i = 0; s == 0 && i < 2; ++i) {
        key->primeContexts[i] = static_cast<MontgomeryCtx*>(CRYPTO_malloc(sizeof(MontgomeryCtx)));
        if (key->primeContexts[i] == nullptr) {
            s = ERR_MEM_ALLOC_FAIL;
            break;
        }
        s = VLONG_makeMontgomeryCtx(key->primeContexts[i], i == 0 ? vp.v : vq.v, nullptr);
        if (s < 0) {
            CRYPTO_free(key->primeContexts[i]);
            key->primeContexts[i] = nullptr;
        }
    }
    if (s < 0) {
        clear_key(key);
        return s == VLONG_ERR_NOT_INVERTIBLE ? ERR_KEY_BLOB : s;
    }
    key->privateParts[0] = vp.v;
    key->privateParts[1] = vq.v;
    vp.v = nullptr;
    vq.v = nullptr;
    key->isPrivate = 1;
    return 0;
}

int32_t RSA_cloneKey(RsaKey** dst, const RsaKey* src) {
    if (dst == nullptr || src == nullptr) return ERR_NULL_POINTER;
    *dst = nullptr;
    RsaKey* k = nullptr;
    int32_t s = RSA_createKey(&k);
    if (s < 0) return s;
    k->isPrivate = src->isPrivate;
    if (src->exponent != nullptr) s = VLONG_clone(src->exponent, &k->exponent, nullptr);
    if (s == 0 && src->modulus != nullptr) s = VLONG_clone(src->modulus, &k->modulus, nullptr);
    for (int i = 0; s == 0 && i < 5; ++i) {
        if (src->privateParts[i] != nullptr) s = VLONG_clone(src->privateParts[i], &k->privateParts[i], nullptr);
    }
    for (int i = 0; s == 0 && i < 2; ++i) {
        if (src->primeContexts[i] == nullptr) continue;
        k->primeContexts[i] = static_cast<MontgomeryCtx*>(CRYPTO_malloc(sizeof(MontgomeryCtx)));
        if (k->primeContexts[i] == nullptr) {
            s = ERR_MEM_ALLOC_FAIL;
            break;
        }
        s = VLONG_makeMontgomeryCtx(k->primeContexts[i], src->primeContexts[i]->modulus, nullptr);
        if (s < 0) {
            CRYPTO_free(k->primeContexts[i]);
            k->primeContexts[i] = nullptr;
        }
    }
    if (s < 0) {
        RSA_freeKey(&k);
        return s;
    }
    *dst = k;
    return 0;
}

int32_t RSA_modulusLength(const RsaKey* key, int32_t* length) {
    if (key == nullptr || length == nullptr) return ERR_NULL_POINTER;
    if (key->modulus == nullptr) return ERR_RSA_NO_KEY;
    *length = static_cast<int32_t>((VLONG_bits(key->modulus) + 7) / 8);
    return 0;
}

int32_t RSA_checkVerifyExponent(const RsaKey* key) {
    if (key == nullptr) return ERR_NULL_POINTER;
    const vlong* e = key->exponent;
    if (e == nullptr || e->numUnitsUsed > 1) return ERR_RSA_BAD_EXPONENT;
    if (e->numUnitsUsed == 0 || e->units[0] < 65537 || (e->units[0] & 1) == 0) return ERR_RSA_WEAK_EXPONENT;
    return 0;
}

int32_t RSA_publicDecrypt(const RsaKey* key, const uint8_t* input, uint8_t* output, uint32_t* payloadLength,
                          vlong** pool) {
    if (key == nullptr) return ERR_RSA_NO_KEY;
    if (input == nullptr || output == nullptr || payloadLength == nullptr) return ERR_NULL_POINTER;
    *payloadLength = 0;
    int32_t k = 0;
    if (const int32_t s = RSA_modulusLength(key, &k); s < 0) return s;
    if (k > static_cast<int32_t>(RSA_MAX_MODULUS_BYTES)) return ERR_RSA_MODULUS_TOO_LONG;
    if (key->exponent == nullptr || key->exponent->numUnitsUsed > 1) return ERR_RSA_BAD_EXPONENT;
    if (k < 3) return ERR_RSA_BAD_PADDING;

    vlong* sig = nullptr;
    vlong* m = nullptr;
    int32_t s = VLONG_fromBytes(input, k, &sig, pool);
    if (s < 0) return s;
    // RSAVP1: a signature representative not below the modulus is refused.
    if (VLONG_cmpMagnitude(sig, key->modulus) >= 0) {
        VLONG_release(&sig, pool);
        return ERR_RSA_BAD_PADDING;
    }
    s = VLONG_powMod(sig, key->exponent, key->modulus, &m, pool);
    VLONG_release(&sig, pool);
    if (s < 0) return s;
    s = VLONG_byteStringFromVlong(m, output, &k);
    VLONG_release(&m, pool);
    if (s < 0) return s;

    // EB = 00 01 FF .. FF 00 payload, with at least eight FF bytes.
    const uint32_t len = static_cast<uint32_t>(k);
    if (output[0] != 0 || output[1] != 1 || output[2] != 0xFF) return ERR_RSA_BAD_PADDING;
    uint32_t i = 3;
    while (i < len && output[i] == 0xFF) ++i;
    if (i == len) {
        *payloadLength = 0;  // no separator: an empty payload
        return 0;
    }
    if (output[i] != 0 || i < 10) return ERR_RSA_BAD_PADDING;
    const uint32_t count = len - i - 1;
    std::memmove(output, output + i + 1, count);
    *payloadLength = count;
    return 0;
}

int32_t RSA_verifyDigestInfo(const RsaKey* key, const uint8_t* signature, uint32_t signatureLength,
                             uint8_t* digest, uint32_t* digestLength, int32_t* hashType) {
    if (signature == nullptr || digest == nullptr || key == nullptr || hashType == nullptr ||
        digestLength == nullptr) {
        return ERR_NULL_POINTER;
    }
    int32_t k = 0;
    if (const int32_t s = RSA_modulusLength(key, &k); s < 0) return s;
    if (const int32_t s = RSA_checkVerifyExponent(key); s < 0) return s;
    if (signatureLength != static_cast<uint32_t>(k)) return ERR_RSA_BAD_SIGNATURE_LENGTH;
    Buffer block(static_cast<uint32_t>(k));
    if (block.p == nullptr) return ERR_MEM_ALLOC_FAIL;
    vlong* pool = nullptr;
    uint32_t payloadLen = 0;
    const int32_t s = RSA_publicDecrypt(key, signature, block.p, &payloadLen, &pool);
    VLONG_drainPool(&pool);
    if (s < 0) return s;
    return bmcrypto_rsa::read_digest_info(block.p, payloadLen, digest, digestLength, hashType);
}

}  // extern "C"
