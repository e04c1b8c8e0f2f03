/* Crypto library platform layer: status codes, memory, files, debug console,
 * platform stubs and one-time library initialisation.
 *
 * All functions return a signed 32-bit status (MSTATUS): 0 or a positive
 * count on success, one of the negative codes below on failure. The library
 * is single-threaded in this system; nothing here takes a lock.
 */
#ifndef BMCRYPTO_CRYPTO_PLATFORM_H
#define BMCRYPTO_CRYPTO_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t MSTATUS;

/* Status codes. */
enum {
    CRYPTO_OK = 0,
    ERR_THREAD_CREATE = -5801,         /* thread creation not available */
    ERR_MUTEX_ALREADY_HELD = -5807,    /* guarded wait on a held mutex */
    ERR_MUTEX_NOT_HELD = -5808,        /* guarded release of a free mutex */
    ERR_TCP_NOT_AVAILABLE = -5910,     /* socket operations not available */
    ERR_TCP_NOT_AVAILABLE_2 = -5911,
    ERR_NULL_POINTER = -6001,          /* null pointer argument */
    ERR_INVALID_SWITCH = -6010,        /* switch value other than 0 or 1 */
    ERR_MEM_ALLOC_FAIL = -6101,        /* allocation failed, size 0 or too big */
    ERR_MEM_NULL_OUT_POINTER = -6102,  /* limited allocator: null out-pointer */
    ERR_MEM_LIMITED_FAIL = -6103,      /* limited allocator: size 0 / no memory */
    ERR_MEM_FREE_NULL = -6104,         /* checked free of a null pointer */
    ERR_RAND_OPEN_DEVICE = -7201,      /* entropy device ("/dev/urandom") cannot be opened */
    ERR_RAND_SHORT_READ = -7202,       /* short read from the entropy device */
    ERR_DEBUG_CONSOLE_OPEN = -14201    /* debug output file cannot be opened */
};

/* Largest size CRYPTO_allocLimited accepts (131071 bytes). */
#define CRYPTO_ALLOC_LIMIT 0x1FFFFu

/* Debug console categories. */
#define DEBUG_CATEGORY_DEFAULT 0x00000002u
#define DEBUG_CATEGORY_IMGSIGN 0x00000004u   /* image signing, key conversion */
#define DEBUG_CATEGORY_CIPHER  0x00000020u   /* cipher failures */
#define DEBUG_CATEGORY_CONSOLE 0x00400000u   /* errors of the debug console */
#define DEBUG_MASK_INITIAL     0x00400002u

/* ---- Memory ---------------------------------------------------------- */

/* The C library's malloc/free, unchanged. CRYPTO_malloc returns null on
 * failure; CRYPTO_free accepts null. */
void *CRYPTO_malloc(size_t size);
void CRYPTO_free(void *p);

/* Allocates size bytes into *out. Size 0 stores null and returns -6101;
 * allocation failure stores null and returns -6101; null out returns -6001. */
MSTATUS CRYPTO_allocStatus(size_t size, void **out);

/* Null out returns -6102; size > CRYPTO_ALLOC_LIMIT stores null and returns
 * -6101; size 0 or allocation failure stores null and returns -6103. */
MSTATUS CRYPTO_allocLimited(void **out, size_t size);

/* Frees *pp and sets it to null; null pp or null *pp returns -6001. */
MSTATUS CRYPTO_freeAndClear(void **pp);

/* Frees *pp without clearing it; null pp or null *pp returns -6104. */
MSTATUS CRYPTO_freeChecked(void **pp);

/* Byte loops. A null pointer returns -6001; count < 1 does nothing and
 * returns 0. CRYPTO_memcpy regions must not overlap. */
MSTATUS CRYPTO_memcpy(void *dst, const void *src, int32_t count);
MSTATUS CRYPTO_memset(void *dst, uint8_t value, int32_t count);
MSTATUS CRYPTO_xorInto(void *dst, const void *src, int32_t count);

/* Stores -1, 0 or 1 in *result by the first differing byte, compared as
 * unsigned; 0 for count <= 0. A null pointer returns -6001, else 0. */
MSTATUS CRYPTO_memcmp(const void *a, const void *b, int32_t count, int32_t *result);

/* Constant-time equality of two byte strings: 0 when equal, nonzero
 * otherwise. Used for comparing digests and MACs. */
int32_t CRYPTO_ctEqual(const void *a, const void *b, size_t count);

/* Overwrites count bytes so the compiler cannot drop the store. */
void CRYPTO_secureZero(void *p, size_t count);

/* ---- Small string routines ------------------------------------------ */

/* Lower-cases one ASCII letter; other bytes are returned unchanged. */
int CRYPTO_toLower(int c);
/* Length of a NUL-terminated string; null gives 0. */
size_t CRYPTO_strlen(const char *s);
/* Parses optional white space (tab..CR, space), an optional '-', then
 * decimal digits. Stores the value in *value and the position after the
 * last character consumed in *end (either may be null). Returns 0, or
 * -6001 when s is null. Overflow saturates to INT32_MAX / INT32_MIN. */
MSTATUS CRYPTO_atoi(const char *s, int32_t *value, const char **end);

/* ---- Files: straight to the C library -------------------------------- */
FILE *CRYPTO_fopen(const char *path, const char *mode);
int CRYPTO_fclose(FILE *f);
int CRYPTO_fseek(FILE *f, long offset, int whence);
void CRYPTO_rewind(FILE *f);
long CRYPTO_ftell(FILE *f);
size_t CRYPTO_fread(void *buf, size_t size, size_t count, FILE *f);
size_t CRYPTO_fwrite(const void *buf, size_t size, size_t count, FILE *f);

/* ---- Debug console --------------------------------------------------- */

/* Output is printed only when (category & debugMask) == category, to the
 * debug output stream (standard output while none is set), flushed after
 * every piece. */
void DEBUG_CONSOLE_print(uint32_t category, const char *text);
void DEBUG_CONSOLE_printLine(uint32_t category, const char *text); /* text may be null; then "\r\n" */
void DEBUG_CONSOLE_printInt(uint32_t category, int32_t value);      /* "%d" */
void DEBUG_CONSOLE_printHexByte(uint32_t category, uint32_t value); /* low byte, "%02x" */
void DEBUG_CONSOLE_printError(uint32_t category, const char *text, int32_t value);
/* Prints "Switching output stream" on standard output, closes the current
 * output file, opens path with "w". Returns 0, or -14201 when it cannot be
 * opened (the stream is then unset and standard output is used). */
MSTATUS DEBUG_CONSOLE_setOutput(const char *path);
/* The socket console server is not available here: returns -5801. */
MSTATUS DEBUG_CONSOLE_start(void);
/* Hex dump ("===== Dump: %s [%d]\n" then the bytes) on the debug stream
 * under category 2. */
void DEBUG_CONSOLE_hexDump(const char *label, const uint8_t *data, int32_t len);
/* Current mask (0x00400002 in this system). */
uint32_t DEBUG_CONSOLE_mask(void);
/* Debug console state words, for tests and the (absent) server. */
void DEBUG_CONSOLE_state(int32_t *word0, int32_t *word1);

/* ---- Platform abstraction (stubbed) ---------------------------------- */
typedef void *RTOS_MUTEX;
MSTATUS RTOS_rtosInit(void);
MSTATUS RTOS_rtosShutdown(void);
MSTATUS RTOS_mutexCreate(RTOS_MUTEX *m);
MSTATUS RTOS_mutexFree(RTOS_MUTEX *m);
MSTATUS RTOS_mutexWait(RTOS_MUTEX m);
MSTATUS RTOS_mutexRelease(RTOS_MUTEX m);
/* Guarded wait: -5807 when *held is already set, else waits and sets it. */
MSTATUS RTOS_mutexWaitGuarded(RTOS_MUTEX m, int *held);
/* Guarded release: -5808 when *held is clear, else releases and clears it. */
MSTATUS RTOS_mutexReleaseGuarded(RTOS_MUTEX m, int *held);
MSTATUS RTOS_createThread(void (*entry)(void *), void *arg); /* -5801 */
MSTATUS TCP_listenSocket(int *sock, uint16_t port);          /* -5910 */
MSTATUS TCP_acceptSocket(int *client, int listener);          /* -5911 */
MSTATUS TCP_closeSocket(int sock);                            /* 0 */
void RTOS_sleepMS(uint32_t ms);                               /* no-op */
/* Monotonic milliseconds (wraps at 2^32). */
uint32_t RTOS_getTimeInMS(void);
/* Milliseconds since *since; stores the current time in *since when
 * update is nonzero. */
uint32_t RTOS_deltaMS(uint32_t *since, int update);
uint32_t RTOS_getUpTimeInMS(void);                            /* 0 */
/* Six bytes: years since 1970, month 1-12, day, hour, minute, second (UTC). */
MSTATUS RTOS_timeGMT(uint8_t out[6]);

/* ---- Library lifetime ------------------------------------------------ */

/* One-time initialisation: Base64 table, global random context seeded
 * from "/dev/urandom". Later calls only count and return 0. Returns 1 on
 * success of the first call, -6101 when the Base64 table cannot be
 * allocated, -7201/-7202 for "/dev/urandom" failures, or the random
 * generator's error (among them -7201/-7202 when the entropy depot gets
 * nothing from the kernel's generator; the global context is then not
 * created). The first call may wait up to RANDOM_KERNEL_WAIT_MS (random.h)
 * for the kernel's generator. */
MSTATUS CRYPTO_libraryInit(void);
/* Frees the global random context and the Base64 table and resets the
 * debug console state; the init count is kept. Returns 0. */
MSTATUS CRYPTO_libraryFree(void);
/* Number of CRYPTO_libraryInit calls so far. */
uint32_t CRYPTO_initCount(void);
/* Millisecond clock value taken by the first initialisation. */
uint32_t CRYPTO_startTime(void);

/* Path of the entropy device read at initialisation; tests may point it
 * elsewhere before the first CRYPTO_libraryInit. Null restores the
 * default "/dev/urandom". */
void CRYPTO_setEntropyDevice(const char *path);

#ifdef __cplusplus
}
#endif

#endif
