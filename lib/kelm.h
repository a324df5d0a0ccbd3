/* libkelm: kelm's file format, key and engine, for C99 and C++.
 *
 * An encrypted file is one seed byte followed by the ciphertext, as long as
 * the plaintext. The cipher is a byte-wise feedback XOR that restarts every
 * 1,000,000 bytes; it is not an authenticated cipher.
 *
 * The library keeps no global state and throws nothing across this header.
 * Distinct objects may be used from distinct threads at once; one stream is
 * used by one thread at a time. A key may be shared by any number of
 * threads and streams: nothing changes it after kelm_key_new().
 *
 * Ending a wait. kelm_encrypt_fd and kelm_decrypt_fd may wait on a pipe, a
 * FIFO or a socket for as long as its other end likes. To end such a wait
 * from a signal handler: have `stop` answer nonzero once the handler has
 * run (a flag of type volatile sig_atomic_t or a lock-free atomic), install
 * the handler without SA_RESTART, and have it send the signal on, with
 * pthread_kill, to each thread of the run that it is not running on: the
 * caller's, and the worker that `worker` tells of. A read or write the
 * signal cuts short then asks `stop` and gives up, and no call that may wait
 * begins once `stop` has said so. A handler may also replace a descriptor
 * with dup2 (the reading end of a pipe whose writer is closed, say), which
 * ends a call begun just after the check. On Windows, CancelSynchronousIo
 * on each thread does what the signal does. */
#ifndef KELM_H
#define KELM_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(KELM_SHARED)
#ifdef KELM_BUILDING
#define KELM_API __declspec(dllexport)
#else
#define KELM_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KELM_API __attribute__((visibility("default")))
#else
#define KELM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, such as "1.4.0". */
KELM_API const char* kelm_version(void);

/* What a call gives back. Values never change meaning; new ones are added
 * at the end. */
typedef enum kelm_status {
  KELM_OK = 0,
  KELM_KEY_TOO_SMALL,        /* a key shorter than 16 bytes */
  KELM_KEY_NOT_POWER_OF_TWO, /* a key of 16 bytes or more whose length is no power of two */
  KELM_KEY_TOO_LARGE,        /* a key longer than 128 bytes */
  KELM_NO_MEMORY,
  KELM_READ_FAILED,  /* the input could not be read, or ended before its length */
  KELM_WRITE_FAILED, /* the output took no more bytes, or could not be cut back */
  KELM_STOPPED,      /* the stop callback said so */
  KELM_EMPTY_INPUT,  /* the input had no byte at all */
  KELM_INVALID_ARGUMENT
} kelm_status;

/* A short English text for `status`, such as "key too small"; never NULL. */
KELM_API const char* kelm_status_text(kelm_status status);

/* ---- The key ---- */

typedef struct kelm_key kelm_key;

/* Makes a key of the `length` bytes at `bytes`: 16, 32, 64 or 128 of them.
 * They are copied into memory kept out of swap and core dumps where the
 * system allows; the caller's copy stays the caller's. On failure `*key` is
 * NULL. */
KELM_API kelm_status kelm_key_new(const void* bytes, size_t length, kelm_key** key);

/* Reads a key from descriptor `fd`, from its position to its end, straight
 * into protected memory: a regular file's length is its size (a file too
 * long is never read), anything else (a pipe, a FIFO) is read whole, up to
 * 64 KiB. `*length`, if `length` is not NULL, is set to the key's length as
 * far as it was learned (0 when not at all), so that a caller can say what
 * was wrong with it. On failure `*key` is NULL. The descriptor stays open. */
KELM_API kelm_status kelm_key_read_fd(int fd, kelm_key** key, uint64_t* length);

/* Wipes the key's bytes and frees it; NULL is fine. */
KELM_API void kelm_key_free(kelm_key* key);

/* ---- Streams: bytes in memory ---- */

typedef struct kelm_stream kelm_stream;

/* An encryptor with seed byte `seed`, or a decryptor. Each holds what it
 * needs of the key in protected memory of its own, so the key may be freed
 * at once. On failure `*stream` is NULL. */
KELM_API kelm_status kelm_encryptor_new(const kelm_key* key, uint8_t seed, kelm_stream** stream);
KELM_API kelm_status kelm_decryptor_new(const kelm_key* key, kelm_stream** stream);

/* Enciphers or deciphers the `length` bytes at `in` into `out`, and sets
 * `*written` to the bytes put there. An encryptor's first update writes
 * the seed byte first, so `out` needs room for length + 1 bytes; later
 * updates write `length` bytes. A decryptor takes the first byte it is ever
 * given as the seed and writes the rest, deciphered. Pieces of any size give
 * the very bytes one whole-file run gives; an update of several chunks runs
 * their chains side by side. `in` and `out` may be the same memory, but not
 * otherwise overlap. Only KELM_OK or KELM_INVALID_ARGUMENT. */
KELM_API kelm_status kelm_stream_update(kelm_stream* stream, const void* in, size_t length,
                                        void* out, size_t* written);

/* Wipes the stream's tables and frees it; NULL is fine. */
KELM_API void kelm_stream_free(kelm_stream* stream);

/* ---- Whole files, by descriptor ---- */

typedef struct kelm_fd_options {
  /* Told after each chunk written in full, the last one of the input
   * included: `done` is the payload bytes written so far (the seed byte
   * not counted), `total` the payload's length, or UINT64_MAX where it is
   * not known before the input ends. Called on either worker, one call at
   * a time, in order. */
  void (*progress)(void* context, uint64_t done, uint64_t total);
  /* Asked before each write, and when a call is about to wait on a pipe or
   * was cut short by a signal: nonzero stops the run, which cuts the output
   * back and returns KELM_STOPPED. Called on either worker. */
  int (*stop)(void* context);
  void* context;
  /* Told on the library's second worker thread when it starts (`started`
   * 1) and just before it ends (0), so that a signal handler can end that
   * thread's waits too: a signal sent to it (pthread_kill) cuts a blocked
   * read or write short, and the run asks `stop`; on Windows,
   * CancelSynchronousIo on its handle does the same. May be NULL. */
  void (*worker)(void* context, int started);
  /* 1 to do all the work on the calling thread; 0 or 2 to let a second
   * worker share a file large enough to repay it. */
  unsigned workers;
} kelm_fd_options;

/* Encrypts `in`, from its position to its end, into `out` from its position:
 * the seed byte, then the ciphertext. Either may be a regular file, a pipe,
 * a FIFO or a socket. On Windows the descriptors are the C runtime's
 * (_open, _fileno). A regular file's position is left past what was read
 * or written. An empty input gives KELM_EMPTY_INPUT and writes nothing.
 *
 * After any failure or stop, `out` holds a correct beginning of the whole
 * output and nothing after it: a regular output is cut back to it. Only
 * KELM_WRITE_FAILED may leave more, where the cut itself failed. The
 * descriptors stay open. `options` may be NULL. */
KELM_API kelm_status kelm_encrypt_fd(const kelm_key* key, uint8_t seed, int in, int out,
                                     const kelm_fd_options* options);

/* Decrypts `in` (its first byte the seed) into `out`, as kelm_encrypt_fd
 * does. An input of the seed byte alone decrypts to nothing, KELM_OK. */
KELM_API kelm_status kelm_decrypt_fd(const kelm_key* key, int in, int out,
                                     const kelm_fd_options* options);

#ifdef __cplusplus
}
#endif

#endif /* KELM_H */
