/* ASN.1 reader: parses DER (and the BER indefinite length form) into a tree
 * of nodes, one per TLV. Content octets are not copied; each node records
 * where its content starts in the input (dataOffset) and the stream it came
 * from, which must outlive the tree.
 *
 * Status codes:
 *   -6001 null argument            -6101 allocation failed
 *   -7603 ASN1_matchOid: node is not a SEQUENCE starting with an OID
 *   -7604 ASN1_matchOid: OID does not match the prefix
 *   -7615 nesting deeper than 40 levels
 *   -8101 empty input, or an element of length 0 that may not be empty
 *   -8102 unsupported universal tag
 *   -8103 element lengths inconsistent with the parent
 *   -8104 end of input inside an element
 *   -8105 length field longer than 4 octets
 *   -8108 tag longer than 4 continuation octets, or truncated header
 */
#ifndef BOOTMGR_CRYPTO_ASN1_H
#define BOOTMGR_CRYPTO_ASN1_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ERR_ASN1_NOT_SEQUENCE_OID (-7603)
#define ERR_ASN1_OID_MISMATCH (-7604)
#define ERR_ASN1_TOO_DEEP (-7615)
#define ERR_ASN1_EMPTY (-8101)
#define ERR_ASN1_UNSUPPORTED_TAG (-8102)
#define ERR_ASN1_BAD_LENGTH (-8103)
#define ERR_ASN1_TRUNCATED (-8104)
#define ERR_ASN1_LENGTH_TOO_LONG (-8105)
#define ERR_ASN1_BAD_TAG (-8108)

#define ASN1_MAX_DEPTH 40

/* Identifier octet classes (the octet masked with 0xE0). */
#define ASN1_CLASS_UNIVERSAL 0x00u
#define ASN1_CONSTRUCTED 0x20u
#define ASN1_CLASS_APPLICATION 0x40u
#define ASN1_CLASS_CONTEXT 0x80u
#define ASN1_CLASS_PRIVATE 0xC0u

#define ASN1_TAG_INTEGER 2u
#define ASN1_TAG_BIT_STRING 3u
#define ASN1_TAG_OCTET_STRING 4u
#define ASN1_TAG_NULL 5u
#define ASN1_TAG_OID 6u
#define ASN1_TAG_SEQUENCE 16u

/* A byte stream. getByte returns 0..255 or -1 at the end; ungetByte steps
 * back one byte; seek positions absolutely (beyond the end fails with -1);
 * read copies up to n bytes and returns the count. */
typedef struct Asn1Stream {
    void* ctx;
    int32_t (*getByte)(void* ctx);
    void (*ungetByte)(void* ctx);
    uint32_t (*tell)(void* ctx);
    int32_t (*seek)(void* ctx, uint32_t position);
    int32_t (*eof)(void* ctx);
    uint32_t (*read)(void* ctx, uint8_t* out, uint32_t n);
    void (*release)(void* ctx);
} Asn1Stream;

/* Memory buffer record under a memory stream; the bytes belong to the
 * caller and must outlive the stream and any tree parsed from it. */
typedef struct MemBuffer {
    const uint8_t* buffer;
    uint32_t size;
    uint32_t position;
} MemBuffer;

/* Points stream at mem, which is set to (data, size, 0). -6001 for a null
 * stream or mem, or null data with a non-zero size. */
int32_t ASN1_memStream(Asn1Stream* stream, MemBuffer* mem, const uint8_t* data, uint32_t size);

#define ASN1_MAX_HEADER 12

typedef struct Asn1Node {
    struct Asn1Node* parent;
    struct Asn1Node* firstChild;
    struct Asn1Node* nextSibling;
    uint32_t tagClass;     /* identifier octet & 0xE0 */
    uint32_t tag;          /* tag number */
    uint32_t length;       /* content length (BIT STRING: without the unused-bits octet) */
    uint32_t indefinite;   /* 1 for the indefinite length form */
    uint32_t headerSize;   /* identifier and length octets */
    uint8_t header[ASN1_MAX_HEADER];
    uint32_t encapsulates; /* 1 when a BIT/OCTET STRING's content is held as children */
    uint32_t value;        /* BOOLEAN octet, small INTEGER/ENUMERATED, BIT STRING unused bits */
    uint32_t dataOffset;   /* position of the content in the input */
    const Asn1Stream* source; /* the stream parsed; not owned */
} Asn1Node;

/* Parses the whole stream into a tree; *root (owned by the caller, free with
 * ASN1_freeTree) is an empty node whose children are the top-level
 * elements. On failure *root is null and nothing is left allocated. */
int32_t ASN1_parse(const Asn1Stream* stream, Asn1Node** root);
/* Frees a tree; null is ignored. */
void ASN1_freeTree(Asn1Node* root);

/* Child number index (0 first) of node, or null. */
Asn1Node* ASN1_getChild(const Asn1Node* node, uint32_t index);
/* Pointer to the node's content in a memory stream's buffer, or null when
 * the source is not a memory stream or the content lies outside it. */
const uint8_t* ASN1_content(const Asn1Node* node);

/* node must be a universal SEQUENCE whose first child is a universal OID
 * (else -7603). prefix is a length octet followed by that many content
 * octets. The OID's content must equal the prefix, plus exactly one octet
 * when lastArc is given, which then receives that octet (else -7604). */
int32_t ASN1_matchOid(const Asn1Node* node, const uint8_t* prefix, uint32_t* lastArc);

#ifdef __cplusplus
}
#endif

#endif
