// ASN.1 reader: see include/asn1.h for the contract.
#include "asn1.h"

#include <cstdint>
#include <cstring>

#include "crypto_platform.h"

namespace {

int32_t mem_get(void* c) {
    auto* m = static_cast<MemBuffer*>(c);
    if (m->position >= m->size) return -1;
    return m->buffer[m->position++];
}
void mem_unget(void* c) {
    auto* m = static_cast<MemBuffer*>(c);
    if (m->position > 0) --m->position;
}
uint32_t mem_tell(void* c) { return static_cast<MemBuffer*>(c)->position; }
int32_t mem_seek(void* c, uint32_t pos) {
    auto* m = static_cast<MemBuffer*>(c);
    if (pos > m->size) return -1;
    m->position = pos;
    return 0;
}
int32_t mem_eof(void* c) {
    auto* m = static_cast<MemBuffer*>(c);
    return m->position >= m->size ? 1 : 0;
}
uint32_t mem_read(void* c, uint8_t* out, uint32_t n) {
    auto* m = static_cast<MemBuffer*>(c);
    const uint32_t left = m->size - m->position;
    if (n > left) n = left;
    if (n > 0) std::memcpy(out, m->buffer + m->position, n);
    m->position += n;
    return n;
}
void mem_release(void* c) {
    auto* m = static_cast<MemBuffer*>(c);
    m->position = 0;
}

struct Header {
    uint32_t tagClass = 0;
    uint32_t constructed = 0;
    uint32_t tag = 0;
    uint32_t length = 0;
    uint32_t indefinite = 0;
    uint32_t size = 0;
    uint8_t bytes[ASN1_MAX_HEADER] = {};
};

// Reads one identifier and length; at most 5 identifier and 5 length octets.
int32_t read_header(const Asn1Stream* s, Header& h) {
    auto next = [&](int32_t& b) -> bool {
        b = s->getByte(s->ctx);
        if (b < 0) return false;
        h.bytes[h.size++] = static_cast<uint8_t>(b);
        return true;
    };
    int32_t b;
    if (!next(b)) return ERR_ASN1_BAD_TAG;
    h.tagClass = static_cast<uint32_t>(b) & 0xE0u;
    h.constructed = (static_cast<uint32_t>(b) & ASN1_CONSTRUCTED) != 0;
    h.tag = static_cast<uint32_t>(b) & 0x1Fu;
    if (h.tag == 0x1F) {
        h.tag = 0;
        for (int i = 0;; ++i) {
            if (i == 4) return ERR_ASN1_BAD_TAG;
            if (!next(b)) return ERR_ASN1_BAD_TAG;
            h.tag = (h.tag << 7) | (static_cast<uint32_t>(b) & 0x7Fu);
            if ((b & 0x80) == 0) break;
        }
    }
    if (!next(b)) return ERR_ASN1_BAD_TAG;
    if (b < 0x80) {
        h.length = static_cast<uint32_t>(b);
    } else if (b == 0x80) {
        h.indefinite = 1;
    } else {
        const int n = b & 0x7F;
        if (n > 4) return ERR_ASN1_LENGTH_TOO_LONG;
        h.length = 0;
        for (int i = 0; i < n; ++i) {
            if (!next(b)) return ERR_ASN1_BAD_TAG;
            h.length = (h.length << 8) | static_cast<uint32_t>(b);
        }
    }
    return 0;
}

bool may_be_empty(uint32_t tag) {
    switch (tag) {
        case 0: case 4: case 5: case 7: case 9: case 12:
        case 16: case 17: case 18: case 19: case 20: case 21: case 22:
        case 25: case 26: case 27: case 28: case 30:
            return true;
        default:
            return false;
    }
}

bool app_or_private(uint32_t cls) { return cls == ASN1_CLASS_APPLICATION || cls == ASN1_CLASS_PRIVATE; }

// Header-only look-ahead: does the content [start, end) look like DER that
// a BIT STRING (bitString) or OCTET STRING may encapsulate? The stream is
// returned to start.
bool looks_encapsulated(const Asn1Stream* s, uint32_t start, uint32_t end, bool bitString) {
    bool ok = false;
    Header h;
    if (read_header(s, h) == 0 && !h.indefinite && !app_or_private(h.tagClass)) {
        const uint64_t filled = static_cast<uint64_t>(h.size) + h.length;
        if (filled == end - start) {
            if (!bitString) {
                ok = h.tag >= 1 && h.tag <= 49;
            } else if (h.tag == ASN1_TAG_SEQUENCE) {
                Header h2;
                const uint32_t after = s->tell(s->ctx);
                if (after < end && read_header(s, h2) == 0 && !h2.indefinite && !app_or_private(h2.tagClass) &&
                    h2.tag == ASN1_TAG_INTEGER) {
                    const uint32_t remaining = end - after - h2.size;
                    ok = after + h2.size <= end && h2.length < remaining;
                }
            }
        }
    }
    s->seek(s->ctx, start);
    return ok;
}

void free_children(Asn1Node* n) {
    Asn1Node* c = n->firstChild;
    while (c != nullptr) {
        Asn1Node* next = c->nextSibling;
        free_children(c);
        CRYPTO_free(c);
        c = next;
    }
    n->firstChild = nullptr;
}

struct Parser {
    const Asn1Stream* s;
    uint32_t size;

    int32_t skip_to(uint32_t pos) { return s->seek(s->ctx, pos) == 0 ? 0 : ERR_ASN1_TRUNCATED; }

    // Parses elements into parent until end (definite) or an end-of-contents
    // element (indefinite). Either way nothing may pass end, the end of the
    // enclosing definite element: an indefinite element inside a string's
    // content stops there instead of reading the rest of the input, so every
    // byte is parsed at most once per level of nesting. topLevel: end is the
    // end of the input.
    int32_t elements(Asn1Node* parent, uint32_t end, bool indefinite, bool topLevel, uint32_t depth) {
        Asn1Node* last = nullptr;
        const int32_t overrun = (topLevel || end >= size) ? ERR_ASN1_TRUNCATED : ERR_ASN1_BAD_LENGTH;
        for (;;) {
            const uint32_t pos = s->tell(s->ctx);
            if (!indefinite && pos >= end) return 0;
            if (indefinite && pos >= end) return overrun;
            Header h;
            if (const int32_t st = read_header(s, h); st < 0) return st;
            const uint32_t contentStart = s->tell(s->ctx);
            if (contentStart > end) return overrun;
            if (indefinite && h.tagClass == ASN1_CLASS_UNIVERSAL && !h.constructed && h.tag == 0 &&
                !h.indefinite) {
                if (h.length != 0) return ERR_ASN1_BAD_LENGTH;
                return 0;  // end of contents closes the parent
            }
            if (!h.indefinite) {
                const uint64_t elemEnd = static_cast<uint64_t>(contentStart) + h.length;
                if (elemEnd > size) return ERR_ASN1_TRUNCATED;
                if (elemEnd > end) return overrun;
            }
            auto* node = static_cast<Asn1Node*>(CRYPTO_malloc(sizeof(Asn1Node)));
            if (node == nullptr) return ERR_MEM_ALLOC_FAIL;
            std::memset(node, 0, sizeof(*node));
            node->parent = parent;
            node->tagClass = h.tagClass;
            node->tag = h.tag;
            node->length = h.length;
            node->indefinite = h.indefinite;
            node->headerSize = h.size;
            std::memcpy(node->header, h.bytes, h.size);
            node->dataOffset = contentStart;
            node->source = s;
            if (last == nullptr) parent->firstChild = node;
            else last->nextSibling = node;
            last = node;
            if (const int32_t st = element(node, h, depth, end); st < 0) return st;
            if (s->tell(s->ctx) > end) return overrun;
        }
    }

    int32_t element(Asn1Node* node, const Header& h, uint32_t depth, uint32_t limit) {
        const uint32_t start = node->dataOffset;
        const uint32_t end = start + h.length;
        if (h.constructed) {
            if (depth + 1 > ASN1_MAX_DEPTH) return ERR_ASN1_TOO_DEEP;
            if (!h.indefinite && h.length == 0 && app_or_private(h.tagClass)) return ERR_ASN1_EMPTY;
            if (h.indefinite) {
                const int32_t st = elements(node, limit, true, false, depth + 1);
                if (st < 0) return st;
                // The indefinite length is now known: content up to the EOC.
                node->length = s->tell(s->ctx) - start;
                return 0;
            }
            return elements(node, end, false, false, depth + 1);
        }
        // Primitive.
        if (h.indefinite) return ERR_ASN1_BAD_LENGTH;
        if (h.length == 0 &&
            (app_or_private(h.tagClass) || (h.tagClass == ASN1_CLASS_UNIVERSAL && !may_be_empty(h.tag)))) {
            return ERR_ASN1_EMPTY;
        }
        if (h.tagClass != ASN1_CLASS_UNIVERSAL) return skip_to(end);
        switch (h.tag) {
            case 0:
            case 5:
                return skip_to(end);
            case 1: {
                const int32_t b = s->getByte(s->ctx);
                if (b < 0) return ERR_ASN1_TRUNCATED;
                node->value = static_cast<uint32_t>(b);
                return skip_to(end);
            }
            case 2:
            case 10:
                if (h.length <= 4) {
                    uint32_t v = 0;
                    for (uint32_t i = 0; i < h.length; ++i) {
                        const int32_t b = s->getByte(s->ctx);
                        if (b < 0) return ERR_ASN1_TRUNCATED;
                        v = (v << 8) | static_cast<uint32_t>(b);
                    }
                    node->value = v;
                }
                return skip_to(end);
            case 3: {
                const int32_t unused = s->getByte(s->ctx);
                if (unused < 0) return ERR_ASN1_TRUNCATED;
                node->value = static_cast<uint32_t>(unused);
                node->length = h.length - 1;
                node->dataOffset = start + 1;
                if (h.length == 1 && unused != 0) return ERR_ASN1_EMPTY;
                return string_content(node, start + 1, end, true, depth);
            }
            case 4:
                return string_content(node, start, end, false, depth);
            case 6: case 7: case 12: case 18: case 19: case 20: case 21: case 22:
            case 23: case 24: case 25: case 26: case 27: case 28: case 30:
                return skip_to(end);
            default:
                return ERR_ASN1_UNSUPPORTED_TAG;
        }
    }

    int32_t string_content(Asn1Node* node, uint32_t start, uint32_t end, bool bitString, uint32_t depth) {
        if (end > start && depth + 1 <= ASN1_MAX_DEPTH && looks_encapsulated(s, start, end, bitString)) {
            const int32_t st = elements(node, end, false, false, depth + 1);
            if (st == 0 && s->tell(s->ctx) == end) {
                node->encapsulates = 1;
                return 0;
            }
            // Not DER after all: keep the string as plain content.
            free_children(node);
            node->encapsulates = 0;
        }
        return skip_to(end);
    }
};

}  // namespace

extern "C" {

int32_t ASN1_memStream(Asn1Stream* stream, MemBuffer* mem, const uint8_t* data, uint32_t size) {
    if (stream == nullptr || mem == nullptr || (data == nullptr && size != 0)) return ERR_NULL_POINTER;
    mem->buffer = data;
    mem->size = size;
    mem->position = 0;
    stream->ctx = mem;
    stream->getByte = mem_get;
    stream->ungetByte = mem_unget;
    stream->tell = mem_tell;
    stream->seek = mem_seek;
    stream->eof = mem_eof;
    stream->read = mem_read;
    stream->release = mem_release;
    return 0;
}

int32_t ASN1_parse(const Asn1Stream* stream, Asn1Node** root) {
    if (stream == nullptr || root == nullptr) return ERR_NULL_POINTER;
    *root = nullptr;
    if (stream->eof(stream->ctx)) return ERR_ASN1_EMPTY;
    // The input's size: seek forward to the end, then back.
    const uint32_t start = stream->tell(stream->ctx);
    uint32_t size = start;
    if (stream->getByte == mem_get) {
        size = static_cast<MemBuffer*>(stream->ctx)->size;
    } else {
        while (stream->getByte(stream->ctx) >= 0) ++size;
        stream->seek(stream->ctx, start);
    }
    auto* r = static_cast<Asn1Node*>(CRYPTO_malloc(sizeof(Asn1Node)));
    if (r == nullptr) return ERR_MEM_ALLOC_FAIL;
    std::memset(r, 0, sizeof(*r));
    r->source = stream;
    r->dataOffset = start;
    r->length = size - start;
    Parser p{stream, size};
    const int32_t st = p.elements(r, size, false, true, 0);
    if (st < 0) {
        ASN1_freeTree(r);
        return st;
    }
    *root = r;
    return 0;
}

void ASN1_freeTree(Asn1Node* root) {
    if (root == nullptr) return;
    free_children(root);
    CRYPTO_free(root);
}

Asn1Node* ASN1_getChild(const Asn1Node* node, uint32_t index) {
    if (node == nullptr) return nullptr;
    Asn1Node* c = node->firstChild;
    while (c != nullptr && index-- > 0) c = c->nextSibling;
    return c;
}

const uint8_t* ASN1_content(const Asn1Node* node) {
    if (node == nullptr || node->source == nullptr || node->source->getByte != mem_get) return nullptr;
    const auto* m = static_cast<const MemBuffer*>(node->source->ctx);
    if (static_cast<uint64_t>(node->dataOffset) + node->length > m->size) return nullptr;
    return m->buffer + node->dataOffset;
}

int32_t ASN1_matchOid(const Asn1Node* node, const uint8_t* prefix, uint32_t* lastArc) {
    if (node == nullptr || prefix == nullptr) return ERR_NULL_POINTER;
    if (node->tagClass != (ASN1_CLASS_UNIVERSAL | ASN1_CONSTRUCTED) || node->tag != ASN1_TAG_SEQUENCE) {
        return ERR_ASN1_NOT_SEQUENCE_OID;
    }
    const Asn1Node* oid = node->firstChild;
    if (oid == nullptr || oid->tagClass != ASN1_CLASS_UNIVERSAL || oid->tag != ASN1_TAG_OID) {
        return ERR_ASN1_NOT_SEQUENCE_OID;
    }
    const uint32_t plen = prefix[0];
    if (oid->length != plen + (lastArc != nullptr ? 1 : 0)) return ERR_ASN1_OID_MISMATCH;
    const uint8_t* content = ASN1_content(oid);
    if (content == nullptr) return ERR_ASN1_OID_MISMATCH;
    if (plen > 0 && std::memcmp(content, prefix + 1, plen) != 0) return ERR_ASN1_OID_MISMATCH;
    if (lastArc != nullptr) *lastArc = content[plen];
    return 0;
}

}  // extern "C"
