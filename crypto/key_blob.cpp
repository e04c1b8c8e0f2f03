// Key handles, key blobs and DER key shapes: see include/key_blob.h.
#include "key_blob.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "asn1.h"
#include "byteorder.h"
#include "crypto_platform.h"

namespace {

// ------------------------------------------------------------ blob writing

// Two passes over the same code: the first (p == nullptr) only counts.
struct Writer {
    uint8_t* p = nullptr;
    uint32_t n = 0;
    bool overflow = false;

    void bytes(const uint8_t* b, uint32_t len) {
        if (static_cast<uint64_t>(n) + len > 0x7FFFFFFFu) {
            overflow = true;
            return;
        }
        if (p != nullptr && len > 0) std::memcpy(p + n, b, len);
        n += len;
    }
    void octet(uint8_t b) { bytes(&b, 1); }
    void u32(uint32_t v) {
        uint8_t b[4];
        store_be32(b, v);
        bytes(b, 4);
    }
    void field(const uint8_t* b, uint32_t len) {
        u32(len);
        bytes(b, len);
    }
    int32_t value(const vlong* v) {
        int32_t len = 0;
        if (v == nullptr) return ERR_KEY_TYPE_UNSUPPORTED;
        VLONG_byteStringFromVlong(v, nullptr, &len);
        u32(static_cast<uint32_t>(len));
        if (p != nullptr && len > 0 && !overflow) {
            if (const int32_t s = VLONG_byteStringFromVlong(v, p + n, &len); s < 0) return s;
        }
        n += static_cast<uint32_t>(len);
        return 0;
    }
};

int32_t write_ctx(Writer& w, const MontgomeryCtx* c) {
    if (c == nullptr) return ERR_KEY_TYPE_UNSUPPORTED;
    w.u32(c->rBits);
    int32_t s = w.value(c->r);
    if (s == 0) s = w.value(c->rInverse);
    if (s == 0) s = w.value(c->modulus);
    if (s == 0) s = w.value(c->mPrime);
    return s;
}

int32_t write_rsa_body(Writer& w, const RsaKey* k) {
    w.octet(1);
    w.octet(k->isPrivate ? 1 : 0);
    int32_t s = w.value(k->exponent);
    if (s == 0) s = w.value(k->modulus);
    if (k->isPrivate) {
        for (int i = 0; s == 0 && i < 5; ++i) s = w.value(k->privateParts[i]);
        for (int i = 0; s == 0 && i < 2; ++i) s = write_ctx(w, k->primeContexts[i]);
    }
    return s;
}

int32_t write_body(Writer& w, const KeyHandle* h) {
    for (int i = 0; i < 7; ++i) w.octet(0);
    w.octet(1);
    for (int i = 0; i < 3; ++i) w.octet(0);
    w.octet(static_cast<uint8_t>(h->keyType));
    switch (h->keyType) {
        case KEY_TYPE_RSA:
            return write_rsa_body(w, static_cast<const RsaKey*>(h->key));
        case KEY_TYPE_ECC: {
            const auto* k = static_cast<const EccKey*>(h->key);
            w.octet(1);
            w.octet(k->isPrivate ? 1 : 0);
            w.field(k->curveOid, k->curveOidLength);
            w.field(k->point, k->pointLength);
            if (k->isPrivate) w.field(k->scalar, k->scalarLength);
            return 0;
        }
        case KEY_TYPE_DSA: {
            const auto* k = static_cast<const DsaKey*>(h->key);
            w.octet(1);
            w.octet(k->isPrivate ? 1 : 0);
            int32_t s = 0;
            for (const vlong* v : {k->p, k->q, k->g, k->y}) {
                if (s == 0) s = w.value(v);
            }
            if (s == 0 && k->isPrivate) s = w.value(k->x);
            return s;
        }
        default:
            return ERR_KEY_TYPE_UNSUPPORTED;
    }
}

// ------------------------------------------------------------ blob reading

struct Reader {
    const uint8_t* p;
    uint32_t n;
    uint32_t pos = 0;

    bool octet(uint8_t& b) {
        if (pos >= n) return false;
        b = p[pos++];
        return true;
    }
    bool u32(uint32_t& v) {
        if (n - pos < 4) return false;
        v = load_be32(p + pos);
        pos += 4;
        return true;
    }
    // A length-prefixed field that must lie inside the blob.
    bool field(const uint8_t*& b, uint32_t& len) {
        if (!u32(len) || len > n - pos) return false;
        b = p + pos;
        pos += len;
        return true;
    }
};

struct Field {
    const uint8_t* b = nullptr;
    uint32_t len = 0;
};

// Encoded form of the derived Montgomery context, compared with the blob's.
int32_t same_ctx(const MontgomeryCtx* c, const uint8_t* enc, uint32_t encLen) {
    Writer w;
    if (int32_t s = write_ctx(w, c); s < 0) return s;
    if (w.overflow || w.n != encLen) return ERR_KEY_BLOB;
    auto* buf = static_cast<uint8_t*>(CRYPTO_malloc(w.n));
    if (buf == nullptr) return ERR_MEM_ALLOC_FAIL;
    Writer w2;
    w2.p = buf;
    int32_t s = write_ctx(w2, c);
    if (s == 0 && std::memcmp(buf, enc, encLen) != 0) s = ERR_KEY_BLOB;
    CRYPTO_free(buf);
    return s;
}

bool same_value(const vlong* v, const Field& f) {
    vlong* x = nullptr;
    if (VLONG_fromBytes(f.b, static_cast<int32_t>(f.len), &x, nullptr) < 0) return false;
    const bool same = VLONG_cmpMagnitude(x, v) == 0;
    VLONG_release(&x, nullptr);
    return same;
}

int32_t read_rsa_body(Reader& r, KeyHandle* h) {
    uint8_t version = 0;
    uint8_t priv = 0;
    if (r.n - r.pos < 2) return ERR_KEY_BLOB;
    r.octet(version);
    r.octet(priv);
    if (version != 1) return ERR_KEY_BLOB_VERSION;
    Field f[7];
    const int count = priv ? 7 : 2;
    for (int i = 0; i < count; ++i) {
        if (!r.field(f[i].b, f[i].len)) return ERR_KEY_BLOB;
        if (f[i].len > 4 * VLONG_MAX_UNITS) return ERR_KEY_BLOB;
    }
    Field ctx[2];
    if (priv) {
        for (auto& c : ctx) {
            const uint32_t start = r.pos;
            uint32_t rBits = 0;
            if (!r.u32(rBits)) return ERR_KEY_BLOB;
            for (int i = 0; i < 4; ++i) {
                Field x;
                if (!r.field(x.b, x.len)) return ERR_KEY_BLOB;
            }
            c.b = r.p + start;
            c.len = r.pos - start;
        }
    }
    RsaKey* k = nullptr;
    int32_t s = RSA_createKey(&k);
    if (s < 0) return s;
    if (priv) {
        // The derived parts must agree with the stored ones: a blob cannot
        // make the key compute with values that do not belong to it.
        s = RSA_setPrivateKeyData(k, f[0].b, f[0].len, f[1].b, f[1].len, f[2].b, f[2].len, f[3].b, f[3].len);
        for (int i = 0; s == 0 && i < 5; ++i) {
            if (!same_value(k->privateParts[i], f[2 + i])) s = ERR_KEY_BLOB;
        }
        for (int i = 0; s == 0 && i < 2; ++i) s = same_ctx(k->primeContexts[i], ctx[i].b, ctx[i].len);
    } else {
        s = RSA_setPublicKeyData(k, f[0].b, f[0].len, f[1].b, f[1].len);
    }
    if (s < 0) {
        RSA_freeKey(&k);
        return s == VLONG_ERR_SIZE ? ERR_KEY_BLOB : s;
    }
    h->keyType = KEY_TYPE_RSA;
    h->key = k;
    return 0;
}

void free_ecc(EccKey* k) {
    if (k == nullptr) return;
    if (k->point != nullptr) CRYPTO_free(k->point);
    if (k->scalar != nullptr) {
        std::memset(k->scalar, 0, k->scalarLength);
        CRYPTO_free(k->scalar);
    }
    std::memset(k, 0, sizeof(*k));
    CRYPTO_free(k);
}

void free_dsa(DsaKey* k) {
    if (k == nullptr) return;
    for (vlong** v : {&k->p, &k->q, &k->g, &k->y, &k->x}) {
        if (*v != nullptr) VLONG_release(v, nullptr);
    }
    CRYPTO_free(k);
}

uint8_t* copy_bytes(const uint8_t* b, uint32_t len) {
    auto* p = static_cast<uint8_t*>(CRYPTO_malloc(len > 0 ? len : 1));
    if (p != nullptr && len > 0) std::memcpy(p, b, len);
    return p;
}

int32_t make_ecc(const uint8_t* oid, uint32_t oidLen, const uint8_t* point, uint32_t pointLen,
                 const uint8_t* scalar, uint32_t scalarLen, bool priv, KeyHandle* h) {
    if (oidLen == 0 || oidLen > KEY_ECC_MAX_OID) return ERR_KEY_BLOB;
    auto* k = static_cast<EccKey*>(CRYPTO_malloc(sizeof(EccKey)));
    if (k == nullptr) return ERR_MEM_ALLOC_FAIL;
    std::memset(k, 0, sizeof(*k));
    std::memcpy(k->curveOid, oid, oidLen);
    k->curveOidLength = oidLen;
    k->isPrivate = priv ? 1 : 0;
    k->point = copy_bytes(point, pointLen);
    k->pointLength = pointLen;
    if (priv) {
        k->scalar = copy_bytes(scalar, scalarLen);
        k->scalarLength = scalarLen;
    }
    if (k->point == nullptr || (priv && k->scalar == nullptr)) {
        free_ecc(k);
        return ERR_MEM_ALLOC_FAIL;
    }
    h->keyType = KEY_TYPE_ECC;
    h->key = k;
    return 0;
}

int32_t read_ecc_body(Reader& r, KeyHandle* h) {
    uint8_t version = 0;
    uint8_t priv = 0;
    if (!r.octet(version) || !r.octet(priv)) return ERR_KEY_BLOB;
    if (version != 1) return ERR_KEY_BLOB_VERSION;
    Field oid, point, scalar;
    if (!r.field(oid.b, oid.len) || !r.field(point.b, point.len)) return ERR_KEY_BLOB;
    if (priv && !r.field(scalar.b, scalar.len)) return ERR_KEY_BLOB;
    return make_ecc(oid.b, oid.len, point.b, point.len, scalar.b, scalar.len, priv != 0, h);
}

int32_t read_dsa_body(Reader& r, KeyHandle* h) {
    uint8_t version = 0;
    uint8_t priv = 0;
    if (!r.octet(version) || !r.octet(priv)) return ERR_KEY_BLOB;
    if (version != 1) return ERR_KEY_BLOB_VERSION;
    auto* k = static_cast<DsaKey*>(CRYPTO_malloc(sizeof(DsaKey)));
    if (k == nullptr) return ERR_MEM_ALLOC_FAIL;
    std::memset(k, 0, sizeof(*k));
    k->isPrivate = priv ? 1 : 0;
    int32_t s = 0;
    for (vlong** v : {&k->p, &k->q, &k->g, &k->y, &k->x}) {
        if (v == &k->x && !priv) break;
        Field f;
        if (!r.field(f.b, f.len) || f.len > 4 * VLONG_MAX_UNITS) {
            s = ERR_KEY_BLOB;
            break;
        }
        if ((s = VLONG_fromBytes(f.b, static_cast<int32_t>(f.len), v, nullptr)) < 0) break;
    }
    if (s < 0) {
        free_dsa(k);
        return s;
    }
    h->keyType = KEY_TYPE_DSA;
    h->key = k;
    return 0;
}

// The older unversioned RSA private form: p, q, n, e using up the blob.
int32_t read_legacy_rsa(Reader& r, KeyHandle* h) {
    Field f[4];
    for (auto& x : f) {
        if (!r.field(x.b, x.len) || x.len > 4 * VLONG_MAX_UNITS) return ERR_KEY_BLOB;
    }
    if (r.pos != r.n) return ERR_KEY_BLOB;
    RsaKey* k = nullptr;
    int32_t s = RSA_createKey(&k);
    if (s < 0) return s;
    s = RSA_setPrivateKeyData(k, f[3].b, f[3].len, f[2].b, f[2].len, f[0].b, f[0].len, f[1].b, f[1].len);
    if (s < 0) {
        RSA_freeKey(&k);
        return s;
    }
    h->keyType = KEY_TYPE_RSA;
    h->key = k;
    return 0;
}

// ------------------------------------------------------------ DER shapes

struct Tree {
    Asn1Stream stream{};
    MemBuffer mem{};
    Asn1Node* root = nullptr;
    ~Tree() { ASN1_freeTree(root); }
    int32_t parse(const uint8_t* der, uint32_t len) {
        ASN1_freeTree(root);
        root = nullptr;
        if (const int32_t s = ASN1_memStream(&stream, &mem, der, len); s < 0) return s;
        return ASN1_parse(&stream, &root);
    }
};

bool is_universal(const Asn1Node* n, uint32_t tag, bool constructed) {
    return n != nullptr && n->tag == tag &&
           n->tagClass == (ASN1_CLASS_UNIVERSAL | (constructed ? ASN1_CONSTRUCTED : 0u));
}

uint32_t child_count(const Asn1Node* n) {
    uint32_t c = 0;
    for (const Asn1Node* x = n->firstChild; x != nullptr; x = x->nextSibling) ++c;
    return c;
}

// Content of an INTEGER without its leading zero octets.
void integer_magnitude(const Asn1Node* n, const uint8_t*& b, uint32_t& len) {
    b = ASN1_content(n);
    len = b != nullptr ? n->length : 0;
    while (len > 0 && *b == 0) {
        ++b;
        --len;
    }
}

int32_t make_rsa_public(const uint8_t* e, uint32_t eLen, const uint8_t* n, uint32_t nLen, KeyHandle* h) {
    RsaKey* k = nullptr;
    int32_t s = RSA_createKey(&k);
    if (s < 0) return s;
    if ((s = RSA_setPublicKeyData(k, e, eLen, n, nLen)) < 0) {
        RSA_freeKey(&k);
        return s;
    }
    h->keyType = KEY_TYPE_RSA;
    h->key = k;
    return 0;
}

const uint8_t kPkcs1Prefix[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};  // 1.2.840.113549.1.1
const uint8_t kEcPublicKey[] = {7, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};       // 1.2.840.10045.2.1
const uint8_t kX962Curves[] = {7, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01};        // 1.2.840.10045.3.1
const uint8_t kSecgCurves[] = {3, 0x2B, 0x81, 0x04};                                // 1.3.132

// RSA SubjectPublicKeyInfo. *recognised is set once the algorithm is
// rsaEncryption, after which the error is final.
int32_t rsa_spki(const Asn1Node* seq, KeyHandle* h, bool* recognised) {
    *recognised = false;
    const Asn1Node* alg = seq->firstChild;
    uint32_t arc = 0;
    int32_t s = ASN1_matchOid(alg, kPkcs1Prefix, &arc);
    if (s < 0) return s;
    if (arc != 1) return ERR_KEY_OID;
    *recognised = true;
    const Asn1Node* bits = alg->nextSibling;
    if (!is_universal(bits, ASN1_TAG_BIT_STRING, false) || !bits->encapsulates) return ERR_KEY_SPKI_SHAPE;
    const Asn1Node* inner = bits->firstChild;
    if (!is_universal(inner, ASN1_TAG_SEQUENCE, true) || !is_universal(inner->firstChild, ASN1_TAG_INTEGER, false)) {
        return ERR_KEY_SPKI_SHAPE;
    }
    const uint8_t* n;
    uint32_t nLen;
    integer_magnitude(inner->firstChild, n, nLen);
    if (nLen >= RSA_MAX_MODULUS_BYTES + 1) return ERR_KEY_MODULUS_TOO_LONG;
    const Asn1Node* exp = inner->firstChild->nextSibling;
    if (!is_universal(exp, ASN1_TAG_INTEGER, false)) return ERR_KEY_SPKI_SHAPE;
    if (exp->length >= 5) return ERR_KEY_EXPONENT_TOO_LONG;
    const uint8_t* e = ASN1_content(exp);
    if (e == nullptr) return ERR_KEY_SPKI_SHAPE;
    return make_rsa_public(e, exp->length, n, nLen, h);
}

int32_t rsa_public_key(const Asn1Node* seq, KeyHandle* h) {
    const Asn1Node* n = seq->firstChild;
    const Asn1Node* e = n != nullptr ? n->nextSibling : nullptr;
    if (!is_universal(n, ASN1_TAG_INTEGER, false) || !is_universal(e, ASN1_TAG_INTEGER, false) || e->length >= 5) {
        return ERR_KEY_NOT_RSA_DER;
    }
    const uint8_t* nb;
    uint32_t nLen;
    integer_magnitude(n, nb, nLen);
    const uint8_t* eb = ASN1_content(e);
    if (eb == nullptr) return ERR_KEY_NOT_RSA_DER;
    return make_rsa_public(eb, e->length, nb, nLen, h);
}

int32_t rsa_private_key(const Asn1Node* seq, KeyHandle* h) {
    const Asn1Node* c[6] = {};
    uint32_t i = 0;
    for (const Asn1Node* x = seq->firstChild; x != nullptr && i < 6; x = x->nextSibling) c[i++] = x;
    if (!is_universal(c[0], ASN1_TAG_INTEGER, false) || !is_universal(c[1], ASN1_TAG_INTEGER, false)) {
        return ERR_KEY_NOT_RSA_DER;
    }
    if (c[0]->length > 4 || c[0]->value > 1) return ERR_KEY_PRIVATE_VERSION;
    if (!is_universal(c[2], ASN1_TAG_INTEGER, false) || c[2]->length >= 5 ||
        !is_universal(c[4], ASN1_TAG_INTEGER, false) || !is_universal(c[5], ASN1_TAG_INTEGER, false)) {
        return ERR_KEY_NOT_RSA_DER;
    }
    const uint8_t *n, *e, *p, *q;
    uint32_t nLen, eLen, pLen, qLen;
    integer_magnitude(c[1], n, nLen);
    integer_magnitude(c[2], e, eLen);
    integer_magnitude(c[4], p, pLen);
    integer_magnitude(c[5], q, qLen);
    RsaKey* k = nullptr;
    int32_t s = RSA_createKey(&k);
    if (s < 0) return s;
    if ((s = RSA_setPrivateKeyData(k, e, eLen, n, nLen, p, pLen, q, qLen)) < 0) {
        RSA_freeKey(&k);
        return s == ERR_KEY_BLOB ? ERR_KEY_NOT_RSA_DER : s;
    }
    h->keyType = KEY_TYPE_RSA;
    h->key = k;
    return 0;
}

bool named_curve(const Asn1Node* oid) {
    if (!is_universal(oid, ASN1_TAG_OID, false)) return false;
    const uint8_t* b = ASN1_content(oid);
    if (b == nullptr || oid->length > KEY_ECC_MAX_OID) return false;
    for (const uint8_t* prefix : {kX962Curves, kSecgCurves}) {
        if (oid->length > prefix[0] && std::memcmp(b, prefix + 1, prefix[0]) == 0) return true;
    }
    return false;
}

// SEQUENCE { SEQUENCE { id-ecPublicKey, namedCurve }, BIT STRING point }
int32_t ecc_spki(const Asn1Node* seq, KeyHandle* h) {
    const Asn1Node* alg = seq->firstChild;
    if (int32_t s = ASN1_matchOid(alg, kEcPublicKey, nullptr); s < 0) return s;
    const Asn1Node* curve = alg->firstChild->nextSibling;
    if (!named_curve(curve)) return ERR_KEY_OID;
    const Asn1Node* bits = alg->nextSibling;
    if (!is_universal(bits, ASN1_TAG_BIT_STRING, false) || bits->value != 0 || bits->length == 0) {
        return ERR_KEY_SPKI_SHAPE;
    }
    const uint8_t* point = ASN1_content(bits);
    if (point == nullptr) return ERR_KEY_SPKI_SHAPE;
    return make_ecc(ASN1_content(curve), curve->length, point, bits->length, nullptr, 0, false, h);
}

// SEQUENCE { INTEGER 1, OCTET STRING scalar, [0] { namedCurve }, [1] { BIT STRING point } }
int32_t ecc_private_key(const Asn1Node* seq, KeyHandle* h) {
    const Asn1Node* version = seq->firstChild;
    const Asn1Node* scalar = version->nextSibling;
    if (version->length != 1 || version->value != 1 || !is_universal(scalar, ASN1_TAG_OCTET_STRING, false) ||
        scalar->length == 0) {
        return ERR_KEY_SPKI_SHAPE;
    }
    const Asn1Node* params = nullptr;
    const Asn1Node* pub = nullptr;
    for (const Asn1Node* x = scalar->nextSibling; x != nullptr; x = x->nextSibling) {
        if (x->tagClass == (ASN1_CLASS_CONTEXT | ASN1_CONSTRUCTED) && x->tag == 0) params = x;
        if (x->tagClass == (ASN1_CLASS_CONTEXT | ASN1_CONSTRUCTED) && x->tag == 1) pub = x;
    }
    if (params == nullptr || !named_curve(params->firstChild)) return ERR_KEY_OID;
    const uint8_t* point = nullptr;
    uint32_t pointLen = 0;
    if (pub != nullptr) {
        const Asn1Node* bits = pub->firstChild;
        if (!is_universal(bits, ASN1_TAG_BIT_STRING, false) || bits->value != 0) return ERR_KEY_SPKI_SHAPE;
        point = ASN1_content(bits);
        pointLen = bits->length;
    }
    const uint8_t* sb = ASN1_content(scalar);
    if (sb == nullptr) return ERR_KEY_SPKI_SHAPE;
    return make_ecc(ASN1_content(params->firstChild), params->firstChild->length, point, pointLen, sb,
                    scalar->length, true, h);
}

int32_t der_to_handle(const uint8_t* der, uint32_t len, KeyHandle* h) {
    Tree t;
    int32_t s = t.parse(der, len);
    if (s < 0) return s;
    const Asn1Node* seq = t.root->firstChild;
    if (!is_universal(seq, ASN1_TAG_SEQUENCE, true)) return ERR_KEY_NOT_RSA_DER;
    const uint32_t count = child_count(seq);
    int32_t rsaStatus = ERR_KEY_NOT_RSA_DER;
    if (count >= 3) {
        rsaStatus = rsa_private_key(seq, h);
        if (rsaStatus == 0) return 0;
    } else if (count == 2) {
        bool recognised = false;
        rsaStatus = rsa_spki(seq, h, &recognised);
        if (rsaStatus == 0 || recognised) return rsaStatus;
        rsaStatus = rsa_public_key(seq, h);
        if (rsaStatus == 0) return 0;
    }
    // No RSA shape: the elliptic-curve forms, on a fresh parse.
    if ((s = t.parse(der, len)) < 0) return s;
    seq = t.root->firstChild;
    const Asn1Node* first = seq->firstChild;
    if (is_universal(first, ASN1_TAG_SEQUENCE, true)) return ecc_spki(seq, h);
    if (is_universal(first, ASN1_TAG_INTEGER, false)) {
        // An RSAPrivateKey whose version was refused keeps that reason.
        if (rsaStatus == ERR_KEY_PRIVATE_VERSION) return rsaStatus;
        return ecc_private_key(seq, h);
    }
    return ERR_KEY_NO_SHAPE;
}

}  // namespace

extern "C" {

int32_t KEY_initHandle(KeyHandle* handle) {
    if (handle == nullptr) return ERR_NULL_POINTER;
    handle->keyType = KEY_TYPE_EMPTY;
    handle->key = nullptr;
    return 0;
}

int32_t KEY_freeHandle(KeyHandle* handle) {
    if (handle == nullptr) return ERR_NULL_POINTER;
    switch (handle->keyType) {
        case KEY_TYPE_RSA: {
            auto* k = static_cast<RsaKey*>(handle->key);
            if (k != nullptr) RSA_freeKey(&k);
            break;
        }
        case KEY_TYPE_ECC:
            free_ecc(static_cast<EccKey*>(handle->key));
            break;
        case KEY_TYPE_DSA:
            free_dsa(static_cast<DsaKey*>(handle->key));
            break;
        default:
            break;
    }
    return KEY_initHandle(handle);
}

int32_t KEY_copyHandle(KeyHandle* dst, const KeyHandle* src) {
    if (dst == nullptr || src == nullptr) return ERR_NULL_POINTER;
    if (dst == src) return 0;
    KEY_freeHandle(dst);
    switch (src->keyType) {
        case KEY_TYPE_EMPTY:
            return 0;
        case KEY_TYPE_RSA: {
            RsaKey* k = nullptr;
            if (int32_t s = RSA_cloneKey(&k, static_cast<const RsaKey*>(src->key)); s < 0) return s;
            dst->keyType = KEY_TYPE_RSA;
            dst->key = k;
            return 0;
        }
        case KEY_TYPE_ECC: {
            const auto* k = static_cast<const EccKey*>(src->key);
            return make_ecc(k->curveOid, k->curveOidLength, k->point, k->pointLength, k->scalar, k->scalarLength,
                            k->isPrivate != 0, dst);
        }
        case KEY_TYPE_DSA: {
            // Through a blob: the DSA record has no other copy routine.
            uint8_t* blob = nullptr;
            uint32_t len = 0;
            int32_t s = KEY_handleToBlob(src, &blob, &len);
            if (s == 0) s = KEY_blobToHandle(blob, len, dst);
            if (blob != nullptr) KEY_freeBlob(&blob, len);
            return s;
        }
        default:
            return ERR_KEY_TYPE_UNSUPPORTED;
    }
}

int32_t KEY_handleToBlob(const KeyHandle* handle, uint8_t** blob, uint32_t* blobLength) {
    if (handle == nullptr || blob == nullptr || blobLength == nullptr) return ERR_NULL_POINTER;
    *blob = nullptr;
    *blobLength = 0;
    if (handle->key == nullptr) return ERR_KEY_TYPE_UNSUPPORTED;
    Writer count;
    if (int32_t s = write_body(count, handle); s < 0) return s;
    if (count.overflow) return ERR_KEY_TYPE_UNSUPPORTED;
    auto* buf = static_cast<uint8_t*>(CRYPTO_malloc(count.n));
    if (buf == nullptr) return ERR_MEM_ALLOC_FAIL;
    Writer w;
    w.p = buf;
    if (int32_t s = write_body(w, handle); s < 0) {
        KEY_freeBlob(&buf, count.n);
        return s;
    }
    *blob = buf;
    *blobLength = w.n;
    return 0;
}

int32_t KEY_blobToHandle(const uint8_t* blob, uint32_t blobLength, KeyHandle* handle) {
    if (blob == nullptr || handle == nullptr) return ERR_NULL_POINTER;
    KEY_freeHandle(handle);
    Reader r{blob, blobLength};
    if (blobLength < 4) return ERR_KEY_BLOB;
    if (load_be32(blob) != 0) return read_legacy_rsa(r, handle);
    if (blobLength < KEY_BLOB_HEADER_SIZE) return ERR_KEY_BLOB;
    if (blob[4] != 0 || blob[5] != 0 || blob[6] != 0 || blob[7] != 1) return ERR_KEY_BLOB_VERSION;
    if (blob[8] != 0 || blob[9] != 0 || blob[10] != 0) return ERR_KEY_BLOB;
    r.pos = KEY_BLOB_HEADER_SIZE;
    switch (blob[11]) {
        case KEY_TYPE_RSA:
            return read_rsa_body(r, handle);
        case KEY_TYPE_ECC:
            return read_ecc_body(r, handle);
        case KEY_TYPE_DSA:
            return read_dsa_body(r, handle);
        default:
            return ERR_KEY_BLOB;
    }
}

int32_t KEY_derToBlob(const uint8_t* der, uint32_t derLength, uint8_t** blob, uint32_t* blobLength) {
    if (der == nullptr || blob == nullptr || blobLength == nullptr) return ERR_NULL_POINTER;
    *blob = nullptr;
    *blobLength = 0;
    KeyHandle h;
    KEY_initHandle(&h);
    int32_t s = der_to_handle(der, derLength, &h);
    if (s == 0) s = KEY_handleToBlob(&h, blob, blobLength);
    KEY_freeHandle(&h);
    return s;
}

int32_t KEY_freeBlob(uint8_t** blob, uint32_t blobLength) {
    if (blob == nullptr || *blob == nullptr) return ERR_NULL_POINTER;
    std::memset(*blob, 0, blobLength);
    CRYPTO_free(*blob);
    *blob = nullptr;
    return 0;
}

}  // extern "C"
