// Internal to the crypto library: the block buffering, length padding and
// context housekeeping that MD5, SHA-1, SHA-256/224 and SHA-512/384 share.
// Not a public header; only the hash modules include it.
//
// Every context it works on is a plain record with the fields
//   h[]            chaining value (the transform's state)
//   countHigh      high word of the byte count
//   countLow       low word of the byte count (same type as countHigh)
//   bufferedBytes  bytes waiting in block, 0..BlockSize-1
//   block[]        partial input block of BlockSize bytes
// and the length field at the end of the last block is the bit count in
// two count-sized words (8 bytes for 32-bit counts, 16 for 64-bit ones).
#ifndef BMCRYPTO_MD_BLOCK_H
#define BMCRYPTO_MD_BLOCK_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "byteorder.h"
#include "crypto_platform.h"

namespace bmcrypto_md {

enum class Order { little, big };

template <Order O>
inline void store_word(uint8_t *p, uint32_t v) {
    if constexpr (O == Order::big) store_be32(p, v);
    else store_le32(p, v);
}

template <Order O>
inline void store_word(uint8_t *p, uint64_t v) {
    static_assert(O == Order::big, "64-bit words are only stored big-endian");
    store_be64(p, v);
}

// Writes words[0..count) to out, each in byte order O.
template <Order O, typename Word>
inline void store_words(uint8_t *out, const Word *words, int count) {
    for (int i = 0; i < count; ++i) store_word<O>(out + sizeof(Word) * i, words[i]);
}

// BlockSize: bytes per compression block. LengthSize: bytes of the length
// field, twice the size of the context's count words. LengthOrder: byte
// order of that field (little-endian also puts its low word first) and of
// the digest words. Transform: void(state, blocks, nblocks), called with
// whole blocks only.
template <std::size_t BlockSize, std::size_t LengthSize, Order LengthOrder, auto Transform>
struct Engine {
    static_assert((BlockSize & (BlockSize - 1)) == 0, "block size must be a power of two");
    static_assert(LengthSize < BlockSize, "length field must fit in a block");

    // Absorbs len bytes. ERR_NULL_POINTER for a null context, or null data
    // with len > 0; nothing changes then.
    template <typename Ctx>
    static MSTATUS update(Ctx *ctx, const uint8_t *data, uint32_t len) {
        static_assert(sizeof ctx->block == BlockSize);
        static_assert(sizeof ctx->countLow * 2 == LengthSize);
        if (!ctx || (!data && len > 0)) return ERR_NULL_POINTER;
        if (len == 0) return CRYPTO_OK;
        const auto before = ctx->countLow;
        ctx->countLow += len;
        if (ctx->countLow < before) ++ctx->countHigh;
        if (ctx->bufferedBytes > 0) {
            uint32_t take = static_cast<uint32_t>(BlockSize) - static_cast<uint32_t>(ctx->bufferedBytes);
            if (take > len) take = len;
            std::memcpy(ctx->block + ctx->bufferedBytes, data, take);
            ctx->bufferedBytes += static_cast<int32_t>(take);
            data += take;
            len -= take;
            if (ctx->bufferedBytes < static_cast<int32_t>(BlockSize)) return CRYPTO_OK;
            Transform(ctx->h, ctx->block, 1);
            ctx->bufferedBytes = 0;
        }
        if (len >= BlockSize) {
            Transform(ctx->h, data, len / BlockSize);
            data += len & ~static_cast<uint32_t>(BlockSize - 1);
            len &= static_cast<uint32_t>(BlockSize - 1);
        }
        if (len) {
            std::memcpy(ctx->block, data, len);
            ctx->bufferedBytes = static_cast<int32_t>(len);
        }
        return CRYPTO_OK;
    }

    // Pads, runs the last block(s) and writes the first outWords words of
    // the chaining value to out. ERR_NULL_POINTER for a null ctx or out.
    // The context is left finished; init it again before reuse.
    template <typename Ctx>
    static MSTATUS finish(Ctx *ctx, uint8_t *out, int outWords) {
        if (!ctx || !out) return ERR_NULL_POINTER;
        pad(ctx);
        store_words<LengthOrder>(out, ctx->h, outWords);
        return CRYPTO_OK;
    }

    // Appends 0x80, zeros and the bit count, and runs the last one or two
    // blocks; ctx->h then holds the digest words.
    template <typename Ctx>
    static void pad(Ctx *ctx) {
        using Word = std::remove_cv_t<decltype(ctx->countLow)>;
        constexpr int lengthAt = static_cast<int>(BlockSize - LengthSize);
        int pos = ctx->bufferedBytes;
        ctx->block[pos++] = 0x80;
        if (pos > lengthAt) {
            std::memset(ctx->block + pos, 0, BlockSize - pos);
            Transform(ctx->h, ctx->block, 1);
            pos = 0;
        }
        std::memset(ctx->block + pos, 0, lengthAt - pos);
        // Bit count = byte count * 8, carried across the two words.
        const Word bitsHigh = static_cast<Word>((ctx->countHigh << 3) | (ctx->countLow >> (8 * sizeof(Word) - 3)));
        const Word bitsLow = static_cast<Word>(ctx->countLow << 3);
        if constexpr (LengthOrder == Order::big) {
            store_word<LengthOrder>(ctx->block + lengthAt, bitsHigh);
            store_word<LengthOrder>(ctx->block + lengthAt + sizeof(Word), bitsLow);
        } else {
            store_word<LengthOrder>(ctx->block + lengthAt, bitsLow);
            store_word<LengthOrder>(ctx->block + lengthAt + sizeof(Word), bitsHigh);
        }
        Transform(ctx->h, ctx->block, 1);
    }
};

// Allocates a zeroed context into *ctx. ERR_NULL_POINTER for null ctx,
// ERR_MEM_ALLOC_FAIL when memory is short.
template <typename Ctx>
MSTATUS alloc_ctx(Ctx **ctx) {
    if (!ctx) return ERR_NULL_POINTER;
    *ctx = static_cast<Ctx *>(std::calloc(1, sizeof(Ctx)));
    return *ctx ? CRYPTO_OK : ERR_MEM_ALLOC_FAIL;
}

// Wipes and frees *ctx and clears the pointer. ERR_NULL_POINTER for a null
// ctx or *ctx.
template <typename Ctx>
MSTATUS free_ctx(Ctx **ctx) {
    if (!ctx || !*ctx) return ERR_NULL_POINTER;
    CRYPTO_secureZero(*ctx, sizeof(Ctx));
    std::free(*ctx);
    *ctx = nullptr;
    return CRYPTO_OK;
}

// Loads the initial value and zeroes the counts. ERR_NULL_POINTER for a
// null context.
template <typename Ctx, typename Word, std::size_t N>
MSTATUS load_iv(Ctx *ctx, const Word (&iv)[N]) {
    static_assert(sizeof ctx->h == sizeof iv);
    if (!ctx) return ERR_NULL_POINTER;
    std::memcpy(ctx->h, iv, sizeof ctx->h);
    ctx->countHigh = 0;
    ctx->countLow = 0;
    ctx->bufferedBytes = 0;
    return CRYPTO_OK;
}

// One-shot digest on a stack context that is wiped before returning.
// ERR_NULL_POINTER for null out, or null data with len > 0.
template <typename Ctx>
MSTATUS hash_buffer(MSTATUS (*init)(Ctx *), MSTATUS (*update)(Ctx *, const uint8_t *, uint32_t),
                    MSTATUS (*finish)(Ctx *, uint8_t *), const uint8_t *data, uint32_t len, uint8_t *out) {
    if (!out || (!data && len > 0)) return ERR_NULL_POINTER;
    Ctx ctx;
    init(&ctx);
    MSTATUS st = update(&ctx, data, len);
    if (st == CRYPTO_OK) st = finish(&ctx, out);
    CRYPTO_secureZero(&ctx, sizeof ctx);
    return st;
}

}  // namespace bmcrypto_md

#endif
