/* Arbitrary-precision integers for the RSA public operation and key import.
 *
 * A vlong is a heap record holding a sign and a magnitude of 32-bit units,
 * least significant unit first. The magnitude is kept normalised: the top
 * used unit is never 0, and numUnitsUsed == 0 means the value zero. At most
 * VLONG_MAX_UNITS units (262,144 bits) can be held.
 *
 * Every operation returns a signed status: 0 on success or a negative code:
 *   -6001 (VLONG_ERR_NULL)          a required pointer is null
 *   -6002 (VLONG_ERR_DIV_BY_ZERO)   zero divisor
 *   -6003 (VLONG_ERR_SIZE)          more than VLONG_MAX_UNITS units needed,
 *                                   or a negative byte count
 *   -6004 (VLONG_ERR_ZERO_MODULUS)  zero modulus given to VLONG_powMod
 *   -6007 (VLONG_ERR_BUFFER_SHORT)  caller's buffer shorter than the value
 *   -6009 (VLONG_ERR_NOT_INVERTIBLE) VLONG_invMod: no inverse exists
 *   -6101 (VLONG_ERR_NO_MEMORY)     allocation failed
 * On failure an out-pointer is left null and every temporary is released;
 * inputs are unchanged except the accumulator of an in-place operation.
 *
 * Pools: operations that create values take, as their last argument, the
 * address of a pool head (a singly linked list of released records, linked
 * through nextFree) or null. Records are drawn from the pool when it is not
 * empty and released to it when it is given. The holder of a pool drains it
 * with VLONG_drainPool when done. A pool belongs to one thread at a time.
 */
#ifndef BOOTMGR_CRYPTO_VLONG_H
#define BOOTMGR_CRYPTO_VLONG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VLONG_MAX_UNITS 8192u
#define VLONG_WIPE_UNIT 0x00000067u

#define VLONG_ERR_NULL (-6001)
#define VLONG_ERR_DIV_BY_ZERO (-6002)
#define VLONG_ERR_SIZE (-6003)
#define VLONG_ERR_ZERO_MODULUS (-6004)
#define VLONG_ERR_BUFFER_SHORT (-6007)
#define VLONG_ERR_NOT_INVERTIBLE (-6009)
#define VLONG_ERR_NO_MEMORY (-6101)

typedef struct vlong {
    uint32_t* units;            /* magnitude, least significant unit first */
    uint32_t numUnitsAllocated; /* capacity of units */
    uint32_t numUnitsUsed;      /* normalised length; 0 for zero */
    uint32_t negative;          /* 0 zero or positive, 1 negative */
    struct vlong* nextFree;     /* link while the record sits in a pool */
} vlong;

/* Montgomery constants of one odd modulus m > 1: R = 2^rBits is the
 * smallest power of two not below m. Owned by its creator; free with
 * VLONG_freeMontgomeryCtx. */
typedef struct MontgomeryCtx {
    uint32_t rBits;
    vlong* r;
    vlong* rInverse; /* R^-1 mod m */
    vlong* modulus;  /* copy of m */
    vlong* mPrime;   /* -m^-1 mod R */
} MontgomeryCtx;

/* --- life cycle ------------------------------------------------------- */

/* New zero value through *out (owned by the caller). -6001, -6101. */
int32_t VLONG_create(vlong** out, vlong** pool);
/* Pools *v (pool given) or overwrites every allocated unit with 103 and
 * frees it (no pool); *v becomes null. -6001 if v or *v is null. */
int32_t VLONG_release(vlong** v, vlong** pool);
/* Wipes and frees every record of the pool in list order; *pool becomes
 * null. -6001 if pool is null. */
int32_t VLONG_drainPool(vlong** pool);

/* Diagnostic hook: when set, called with every unit array just after it
 * has been overwritten with VLONG_WIPE_UNIT and before it is freed. Null
 * (the default) turns it off. Not thread-aware. */
typedef void (*VLONG_wipeObserver)(const uint32_t* units, uint32_t count);
void VLONG_setWipeObserver(VLONG_wipeObserver observer);

/* --- conversion ------------------------------------------------------- */

int32_t VLONG_fromUnit(uint32_t unit, vlong** out, vlong** pool);
/* Non-negative value of count big-endian bytes. bytes may be null only when
 * count is 0. A negative count returns -6003. */
int32_t VLONG_fromBytes(const uint8_t* bytes, int32_t count, vlong** out,
                        vlong** pool);
/* Magnitude as big-endian bytes. buffer null: *length receives the needed
 * size (ceil(bits/8), 0 for zero). Otherwise *length is the buffer size: the
 * value is written right-aligned, zero-filled on the left; a needed size
 * above *length returns -6007 and leaves the buffer untouched. *length is not
 * changed when a buffer is given. -6001 for a null value or length. */
int32_t VLONG_byteStringFromVlong(const vlong* value, uint8_t* buffer,
                                  int32_t* length);
int32_t VLONG_clone(const vlong* src, vlong** out, vlong** pool);
/* dst = src, growing dst as needed. */
int32_t VLONG_copyInto(vlong* dst, const vlong* src);

/* --- bits and units --------------------------------------------------- */

uint32_t VLONG_bits(const vlong* v);               /* 0 for zero or null */
uint32_t VLONG_bit(const vlong* v, uint32_t index); /* 0 beyond the length */
int32_t VLONG_setBitAt(vlong* v, uint32_t index);
int32_t VLONG_setUnitAt(vlong* v, uint32_t index, uint32_t unit);

/* --- comparison and additive arithmetic ------------------------------- */

int32_t VLONG_cmpMagnitude(const vlong* a, const vlong* b); /* -1, 0, 1 */
int32_t VLONG_cmpSigned(const vlong* a, const vlong* b);    /* -1, 0, 1 */
/* acc += addend / acc -= subtrahend, signs honoured. acc may alias the
 * other operand. */
int32_t VLONG_add(vlong* acc, const vlong* addend, vlong** pool);
int32_t VLONG_sub(vlong* acc, const vlong* subtrahend, vlong** pool);

int32_t VLONG_shl(vlong* v, uint32_t bits);
int32_t VLONG_shl1(vlong* v);
int32_t VLONG_shr(vlong* v, uint32_t bits);

/* --- multiplication and division --------------------------------------- */

/* product = (a*b) mod 2^bitLimit (magnitudes; the sign is the product's).
 * product must not alias a or b. When bitLimit equals bits(a) + bits(b) (a
 * full product) and the operands have the same number of units, 8 units use
 * the unrolled routine and a power of two of at least 16 units Karatsuba;
 * anything else is computed column by column, only below the limit. */
int32_t VLONG_mulBits(vlong* product, const vlong* a, const vlong* b,
                      uint32_t bitLimit);
int32_t VLONG_sqrBits(vlong* product, const vlong* a, uint32_t bitLimit);

/* Unsigned division of magnitudes: quotient and remainder are overwritten
 * (either may be null when not wanted). They must not alias each other or
 * the inputs. A zero divisor returns -6002. */
int32_t VLONG_divRem(vlong* quotient, const vlong* dividend,
                     const vlong* divisor, vlong* remainder, vlong** pool);

/* *out = a^-1 mod modulus, in [0, modulus). -6009 when gcd(a, m) != 1 or the
 * modulus is zero. */
int32_t VLONG_invMod(const vlong* a, const vlong* modulus, vlong** out,
                     vlong** pool);

/* *out = base^exponent mod modulus (exponent taken as its magnitude).
 * -6001 null argument, -6004 zero modulus. An odd modulus above 1 takes
 * Montgomery multiplication: through a MontgomeryCtx when the exponent has
 * more than 13 units, else with R a power of the limb base and reduction
 * word by word, which needs no context (a public exponent's case). Any
 * other modulus takes the Barrett path. All give the same result. */
int32_t VLONG_powMod(const vlong* base, const vlong* exponent,
                     const vlong* modulus, vlong** out, vlong** pool);

/* --- the two exponentiation paths, for the key code and for tests ------ */

/* Builds the Montgomery constants of an odd modulus m > 1 into *ctx (all
 * fields owned by ctx). -6001, -6009 (even modulus or m <= 1), -6101. */
int32_t VLONG_makeMontgomeryCtx(MontgomeryCtx* ctx, const vlong* modulus,
                                vlong** pool);
/* Releases every value of ctx (wiped) and zeroes it. Null is ignored. */
void VLONG_freeMontgomeryCtx(MontgomeryCtx* ctx);
/* Sliding-window width used for an exponent of the given bit length: 0
 * (binary right to left), 3, 4, 5 or 6. */
uint32_t VLONG_montgomeryWindowBits(uint32_t exponentBits);
/* base^exponent mod ctx->modulus by Montgomery multiplication, whatever the
 * exponent's length. */
int32_t VLONG_montgomeryPowMod(const MontgomeryCtx* ctx, const vlong* base,
                               const vlong* exponent, vlong** out,
                               vlong** pool);
/* base^exponent mod modulus by Barrett reduction, whatever the modulus. */
int32_t VLONG_barrettPowMod(const vlong* base, const vlong* exponent,
                            const vlong* modulus, vlong** out, vlong** pool);

#ifdef __cplusplus
}
#endif

#endif
