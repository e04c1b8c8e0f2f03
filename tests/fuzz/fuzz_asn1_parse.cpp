// ASN1_parse on arbitrary bytes; every node of a parsed tree is visited and
// its content range checked against the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "asn1.h"

namespace {

const uint8_t kPrefix[] = {8, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};

void walk(const Asn1Node* n, size_t size, int depth) {
    for (const Asn1Node* c = n->firstChild; c != nullptr; c = c->nextSibling) {
        if (depth > ASN1_MAX_DEPTH + 2 || c->parent != n) std::abort();
        if (static_cast<uint64_t>(c->dataOffset) + c->length > size && !c->indefinite) std::abort();
        if (const uint8_t* p = ASN1_content(c)) {
            volatile uint8_t sink = c->length > 0 ? p[c->length - 1] : 0;
            (void)sink;
        }
        uint32_t arc = 0;
        ASN1_matchOid(c, kPrefix, &arc);
        walk(c, size, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Asn1Stream s;
    MemBuffer m;
    ASN1_memStream(&s, &m, data, static_cast<uint32_t>(size));
    Asn1Node* root = nullptr;
    if (ASN1_parse(&s, &root) == 0) {
        walk(root, size, 0);
        ASN1_freeTree(root);
    } else if (root != nullptr) {
        std::abort();
    }
    return 0;
}
