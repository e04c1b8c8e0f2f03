/* Random number generation: the process-wide entropy depot, generator
 * contexts (CTR_DRBG and the FIPS 186-2 generator) and the library's global
 * generator.
 *
 * The depot collects entropy bits in a 384-bit pool and hands out seed
 * bytes mixed with SHA-1's compression function. Every stir of the pool
 * takes 96 bytes from the kernel's generator: getrandom(2), waited for up
 * to RANDOM_KERNEL_WAIT_MS while the kernel has not initialised it yet (at
 * early boot), else the entropy device ("/dev/urandom"). The clocks are
 * mixed in too but never stand in for the kernel: when neither source
 * answers, the depot hands out nothing and reports the device's error.
 *
 * After a fork the child never continues the parent's state: the depot
 * primes itself afresh from the kernel, and RANDOM_generate reseeds a
 * context created in another process before it hands out bytes.
 * Generators are not locked and belong to one thread at a time.
 */
#ifndef BMCRYPTO_RANDOM_H
#define BMCRYPTO_RANDOM_H

#include "crypto_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ERR_RAND_DEPOT_REINIT = -6011,         /* depot initialised twice */
    ERR_RAND_DEPOT_FAILED = -7103,         /* depot in the failed state */
    ERR_DRBG_RESEED_REQUIRED = -17205,
    ERR_DRBG_DF_TOO_LONG = -17206,         /* derivation function output > 64 bytes */
    ERR_DRBG_BAD_KEY_LENGTH = -17207,      /* key length not valid for the block length */
    ERR_DRBG_BAD_BLOCK_LENGTH = -17208,    /* block length not 8 or 16 */
    ERR_DRBG_TOO_MANY_BITS = -17209,       /* request too large for one call */
    ERR_DRBG_BAD_ENTROPY_LENGTH = -17210,  /* entropy input not of the seed length */
    ERR_DRBG_PERS_TOO_LONG = -17212        /* personalisation longer than the seed length */
};

/* Type word stored first in every generator context. */
enum {
    RANDOM_TYPE_FIPS186 = 0,
    RANDOM_TYPE_CTR_DRBG = 2
};

/* Kinds a caller may ask RANDOM_create for. */
enum {
    RANDOM_KIND_DEFAULT = 0,    /* CTR_DRBG, AES-256, no derivation function */
    RANDOM_KIND_FIPS186 = 1,    /* FIPS 186-2 generator, SHA-1 G function */
    RANDOM_KIND_CTR_DRBG = 3    /* same as RANDOM_KIND_DEFAULT */
};

#define RANDOM_POOL_BYTES 48
#define RANDOM_POOL_BITS 384
#define FIPS186_MAX_XKEY 64

typedef struct CtrDrbgState {
    uint32_t blockLen;          /* 16 for AES, 8 for triple DES */
    uint32_t keyLen;            /* 16, 24 or 32 for AES, 21 for triple DES */
    void (*setKey)(void *cipher, uint32_t keyLen, const uint8_t *key);
    void (*encryptBlock)(const void *cipher, const uint8_t *in, uint8_t *out);
    void *cipher;               /* keyed cipher context (AesCtx or TdesKey) */
    uint8_t *V;                 /* blockLen bytes */
    uint32_t reseedCounterHigh; /* 64-bit reseed counter */
    uint32_t reseedCounterLow;
    uint32_t useDf;             /* 1 when the derivation function is used */
    uint32_t entropyBitsAdded;  /* entropy bits added since the last reseed */
} CtrDrbgState;

typedef struct Fips186State {
    uint32_t b;                 /* XKEY length in bytes, 20..64 */
    uint8_t xkey[FIPS186_MAX_XKEY];
    uint32_t bitPosition;       /* next XKEY bit an entropy bit goes to */
    uint32_t bitsAdded;
} Fips186State;

typedef struct RandomCtx {
    uint32_t type;              /* RANDOM_TYPE_FIPS186 or RANDOM_TYPE_CTR_DRBG */
    union {
        CtrDrbgState drbg;
        Fips186State fips;
    } u;
    int32_t processId;          /* process the state belongs to (set at
                                   creation and by RANDOM_generate's reseed
                                   after a fork) */
} RandomCtx;

/* ---- Generators ------------------------------------------------------ */

/* Creates a CTR_DRBG (AES-256, no derivation function) seeded with 48
 * bytes from the depot. -6001 for a null out, -6101 when memory is short,
 * or the depot's error. The caller frees it with RANDOM_free. */
MSTATUS RANDOM_createDefault(RandomCtx **out);
/* kind 0 or 3: as RANDOM_createDefault; 1: a FIPS 186-2 generator with a
 * 64-byte XKEY seeded from the clock, the calendar and the depot; any
 * other kind: -6010. */
MSTATUS RANDOM_create(RandomCtx **out, int32_t kind);
/* FIPS 186-2 generator with the given XKEY of b bytes (20..64); -6001 for
 * null arguments, -6010 for a b out of range, -6101 for short memory. */
MSTATUS RANDOM_createFips186(RandomCtx **out, const uint8_t *xkey, uint32_t b);
/* Wipes and frees either kind and clears *ctx; -6001 for null ctx or
 * *ctx, or a context whose type word is neither 0 nor 2. */
MSTATUS RANDOM_free(RandomCtx **ctx);

/* Feeds the low bit of bit. CTR_DRBG: into the depot pool; after 384 bits
 * since the last reseed the generator is reseeded from the depot and the
 * count returns to 0. FIPS 186-2: XORed into XKEY. -6001 for a null or
 * unknown context; reseed errors are returned. */
MSTATUS RANDOM_addEntropyBit(RandomCtx *ctx, uint8_t bit);
/* Feeds the 32 bits of word to the global generator, least significant bit
 * first, stopping at the first error. -6001 when there is no global
 * generator. */
MSTATUS RANDOM_addEntropyWord(uint32_t word);
/* Reads 8 words of 4 bytes from the entropy device and feeds each with
 * RANDOM_addEntropyWord. -7201 when the device cannot be opened, -7202 on
 * a short read, else the last feeding status. */
MSTATUS RANDOM_seedFromUrandom(void);
/* Fills len bytes of buf. A context used in another process than the one
 * it belongs to (a child after fork) is first reseeded from the depot: a
 * CTR_DRBG with seed-length bytes, a FIPS 186-2 XKEY with b bytes XORed in;
 * the depot's errors then return and nothing is written. -6001 for null
 * arguments or an unknown context; CTR_DRBG errors as CTR_DRBG_generate
 * (large requests are split). */
MSTATUS RANDOM_generate(RandomCtx *ctx, uint8_t *buf, uint32_t len);

/* The library's global generator (null before initialisation, and when
 * initialisation could not create it). Draw from it with RANDOM_generate
 * on this pointer and check the status. */
RandomCtx *RANDOM_globalContext(void);
/* Replaces the global generator pointer (the library's initialisation
 * owns it); returns the previous one, which the caller then owns. */
RandomCtx *RANDOM_setGlobalContext(RandomCtx *ctx);

/* Device read by RANDOM_seedFromUrandom and by the depot when the
 * kernel's generator cannot be had through getrandom; null restores
 * "/dev/urandom". The string must outlive its use. */
void RANDOM_setEntropyDevice(const char *path);

/* How long the depot waits, at most, for the kernel's generator to be
 * initialised (once per process). */
#define RANDOM_KERNEL_WAIT_MS 3000u

/* The depot's source of kernel random bytes, as getrandom(2) with
 * GRND_NONBLOCK: fills up to len bytes of buf and returns how many, or a
 * negative errno value (-EAGAIN while the kernel's generator is not yet
 * initialised, -EINTR when interrupted, -ENOSYS without getrandom). */
typedef int32_t (*RANDOM_KernelSource)(uint8_t *buf, uint32_t len);
/* Replaces the kernel source (null restores getrandom) and the longest
 * wait for it (RANDOM_KERNEL_WAIT_MS by default), and allows a wait again.
 * For tests of the early-boot roads. */
void RANDOM_setKernelSource(RANDOM_KernelSource source, uint32_t waitMs);

/* ---- Entropy depot --------------------------------------------------- */

/* Copies count seed bytes to buf, stirring and refilling the depot as its
 * 48-byte output buffer empties; handed-out bytes are zeroed in the depot.
 * The first call, and the first in a process other than the one that
 * primed the depot, primes it (a stir and a refill) first. -6001 for null
 * buf with count > 0, -7103 in the failed state; -7201 or -7202 when a
 * stir gets no bytes from the kernel's generator nor from the entropy
 * device (buf is then zeroed and the pool is not stirred). */
MSTATUS ENTROPY_getBytes(uint8_t *buf, uint32_t count);
/* XORs one bit into the pool at the next position (mod 384). */
MSTATUS ENTROPY_addBit(uint8_t bit);

/* Snapshot of the depot for diagnostics and tests. */
typedef struct EntropyDepotInfo {
    int32_t initialised;
    int32_t primed;
    int32_t failed;
    uint32_t bitPosition;
    uint32_t readIndex;             /* 0..48; 48 = output buffer empty */
    uint32_t refills;               /* refills since the depot was created */
    uint8_t pool[RANDOM_POOL_BYTES];
    uint8_t output[RANDOM_POOL_BYTES];
} EntropyDepotInfo;
MSTATUS ENTROPY_depotInfo(EntropyDepotInfo *info);
/* Returns the depot to its uncreated state (wiping it). */
void ENTROPY_reset(void);
/* Sets or clears the failed state. */
void ENTROPY_setFailed(int32_t failed);

#ifdef __cplusplus
}
#endif

#endif
