// Arbitrary-precision integers, records and conversion: see include/vlong.h
// for the contract.
#include "vlong_internal.h"

#include <cstring>

using namespace bmcrypto_vlong;

namespace {

VLONG_wipeObserver g_wipeObserver = nullptr;

void wipe_units(u32* p, u32 n) {
    volatile u32* q = p;
    for (u32 i = 0; i < n; ++i) q[i] = VLONG_WIPE_UNIT;
    if (g_wipeObserver != nullptr) g_wipeObserver(p, n);
}

}  // namespace

namespace bmcrypto_vlong {

void normalise(vlong* v) {
    while (v->numUnitsUsed > 0 && v->units[v->numUnitsUsed - 1] == 0) --v->numUnitsUsed;
    if (v->numUnitsUsed == 0) v->negative = 0;
}

// Growth that keeps the value: capacity n + 3, old units copied.
int32_t grow_keep(vlong* v, u32 n) {
    if (n > VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    if (n <= v->numUnitsAllocated) return 0;
    const u32 cap = n + 3;
    u32* p = static_cast<u32*>(CRYPTO_malloc(cap * sizeof(u32)));
    if (p == nullptr) return VLONG_ERR_NO_MEMORY;
    if (v->numUnitsUsed > 0) std::memcpy(p, v->units, v->numUnitsUsed * sizeof(u32));
    std::memset(p + v->numUnitsUsed, 0, (cap - v->numUnitsUsed) * sizeof(u32));
    if (v->units != nullptr) {
        wipe_units(v->units, v->numUnitsAllocated);
        CRYPTO_free(v->units);
    }
    v->units = p;
    v->numUnitsAllocated = cap;
    return 0;
}

// Growth for a value about to be overwritten: capacity n + 1, length 0.
int32_t grow_discard(vlong* v, u32 n) {
    if (n > VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    v->numUnitsUsed = 0;
    v->negative = 0;
    if (n <= v->numUnitsAllocated) return 0;
    const u32 cap = n + 1;
    u32* p = static_cast<u32*>(CRYPTO_malloc(cap * sizeof(u32)));
    if (p == nullptr) return VLONG_ERR_NO_MEMORY;
    if (v->units != nullptr) {
        wipe_units(v->units, v->numUnitsAllocated);
        CRYPTO_free(v->units);
    }
    v->units = p;
    v->numUnitsAllocated = cap;
    return 0;
}

void set_zero(vlong* v) {
    v->numUnitsUsed = 0;
    v->negative = 0;
}

}  // namespace bmcrypto_vlong

extern "C" {

void VLONG_setWipeObserver(VLONG_wipeObserver observer) { g_wipeObserver = observer; }

int32_t VLONG_create(vlong** out, vlong** pool) {
    if (out == nullptr) return VLONG_ERR_NULL;
    *out = nullptr;
    vlong* v;
    if (pool != nullptr && *pool != nullptr) {
        v = *pool;
        *pool = v->nextFree;
    } else {
        v = static_cast<vlong*>(CRYPTO_malloc(sizeof(vlong)));
        if (v == nullptr) return VLONG_ERR_NO_MEMORY;
        v->units = nullptr;
        v->numUnitsAllocated = 0;
    }
    v->numUnitsUsed = 0;
    v->negative = 0;
    v->nextFree = nullptr;
    *out = v;
    return 0;
}

int32_t VLONG_release(vlong** v, vlong** pool) {
    if (v == nullptr || *v == nullptr) return VLONG_ERR_NULL;
    vlong* r = *v;
    if (pool != nullptr) {
        r->nextFree = *pool;
        *pool = r;
    } else {
        if (r->units != nullptr) {
            wipe_units(r->units, r->numUnitsAllocated);
            CRYPTO_free(r->units);
        }
        CRYPTO_free(r);
    }
    *v = nullptr;
    return 0;
}

int32_t VLONG_drainPool(vlong** pool) {
    if (pool == nullptr) return VLONG_ERR_NULL;
    while (*pool != nullptr) {
        vlong* v = *pool;
        *pool = v->nextFree;
        VLONG_release(&v, nullptr);
    }
    return 0;
}

int32_t VLONG_fromUnit(u32 unit, vlong** out, vlong** pool) {
    if (out == nullptr) return VLONG_ERR_NULL;
    Temp t(pool);
    if (const int32_t s = t.make(); s < 0) return s;
    if (const int32_t s = grow_discard(t.v, 1); s < 0) return s;
    t.v->units[0] = unit;
    t.v->numUnitsUsed = unit != 0 ? 1 : 0;
    *out = t.take();
    return 0;
}

int32_t VLONG_fromBytes(const uint8_t* bytes, int32_t count, vlong** out, vlong** pool) {
    if (out == nullptr) return VLONG_ERR_NULL;
    *out = nullptr;
    if (count < 0) return VLONG_ERR_SIZE;
    if (bytes == nullptr && count != 0) return VLONG_ERR_NULL;
    const u32 n = static_cast<u32>(count) / 4 + 1;
    if (n > VLONG_MAX_UNITS + 1) return VLONG_ERR_SIZE;
    Temp t(pool);
    if (const int32_t s = t.make(); s < 0) return s;
    // One unit more than the bytes can fill; the cap check applies to the
    // units actually used.
    const u32 need = (static_cast<u32>(count) + 3) / 4;
    if (need > VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    if (const int32_t s = grow_discard(t.v, n > VLONG_MAX_UNITS ? VLONG_MAX_UNITS : n); s < 0) return s;
    u32 unit = 0;
    u32 shift = 0;
    u32 idx = 0;
    for (int32_t i = count; i-- > 0;) {
        unit |= static_cast<u32>(bytes[i]) << shift;
        shift += 8;
        if (shift == 32) {
            t.v->units[idx++] = unit;  // NOLINT(clang-analyzer-core.NullDereference): grown to n >= 1 units
            unit = 0;
            shift = 0;
        }
    }
    if (shift != 0) t.v->units[idx++] = unit;  // NOLINT(clang-analyzer-core.NullDereference): grown to n >= 1 units
    t.v->numUnitsUsed = idx;
    normalise(t.v);
    *out = t.take();
    return 0;
}

int32_t VLONG_byteStringFromVlong(const vlong* value, uint8_t* buffer, int32_t* length) {
    if (value == nullptr || length == nullptr) return VLONG_ERR_NULL;
    const int32_t needed = static_cast<int32_t>((VLONG_bits(value) + 7) / 8);
    if (buffer == nullptr) {
        *length = needed;
        return 0;
    }
    const int32_t size = *length;
    if (size < needed) return VLONG_ERR_BUFFER_SHORT;
    const int32_t pad = size - needed;
    std::memset(buffer, 0, static_cast<size_t>(pad));
    for (int32_t i = 0; i < needed; ++i) {
        const u32 byteIndex = static_cast<u32>(needed - 1 - i);
        buffer[pad + i] = static_cast<uint8_t>(value->units[byteIndex / 4] >> (8 * (byteIndex % 4)));
    }
    return 0;
}

int32_t VLONG_clone(const vlong* src, vlong** out, vlong** pool) {
    if (out == nullptr) return VLONG_ERR_NULL;
    *out = nullptr;
    if (src == nullptr) return VLONG_ERR_NULL;
    Temp t(pool);
    if (const int32_t s = t.make(); s < 0) return s;
    if (const int32_t s = VLONG_copyInto(t.v, src); s < 0) return s;
    *out = t.take();
    return 0;
}

int32_t VLONG_copyInto(vlong* dst, const vlong* src) {
    if (dst == nullptr || src == nullptr) return VLONG_ERR_NULL;
    if (dst == src) return 0;
    if (const int32_t s = grow_discard(dst, src->numUnitsUsed); s < 0) return s;
    if (src->numUnitsUsed > 0) std::memcpy(dst->units, src->units, src->numUnitsUsed * sizeof(u32));
    dst->numUnitsUsed = src->numUnitsUsed;
    dst->negative = src->negative;
    return 0;
}

uint32_t VLONG_bits(const vlong* v) {
    if (v == nullptr || v->numUnitsUsed == 0) return 0;
    const u32 top = v->units[v->numUnitsUsed - 1];
    return 32 * (v->numUnitsUsed - 1) + (32 - static_cast<u32>(__builtin_clz(top)));
}

uint32_t VLONG_bit(const vlong* v, uint32_t index) {
    if (v == nullptr || index / 32 >= v->numUnitsUsed) return 0;
    return (v->units[index / 32] >> (index % 32)) & 1u;
}

int32_t VLONG_setBitAt(vlong* v, uint32_t index) {
    if (v == nullptr) return VLONG_ERR_NULL;
    const u32 unit = index / 32;
    if (unit < v->numUnitsUsed) {
        v->units[unit] |= 1u << (index % 32);
        return 0;
    }
    return VLONG_setUnitAt(v, unit, 1u << (index % 32));
}

int32_t VLONG_setUnitAt(vlong* v, uint32_t index, uint32_t unit) {
    if (v == nullptr) return VLONG_ERR_NULL;
    if (index >= VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    if (index >= v->numUnitsUsed) {
        if (unit == 0) return 0;
        if (const int32_t s = grow_keep(v, index + 1); s < 0) return s;
        for (u32 i = v->numUnitsUsed; i < index; ++i) v->units[i] = 0;
        v->units[index] = unit;
        v->numUnitsUsed = index + 1;
        return 0;
    }
    v->units[index] = unit;
    normalise(v);
    return 0;
}

}  // extern "C"
