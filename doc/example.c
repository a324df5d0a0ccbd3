/* Encrypts a buffer with libkelm in two pieces, decrypts it in one, and
 * checks the ciphertext's first bytes against ones worked out by hand and
 * that the round trip gives the plaintext back. C99, and C++ too:
 *   cc -std=c99 example.c $(pkg-config --cflags --libs kelm) */
#include <kelm.h>
#include <stdio.h>
#include <string.h>

enum { kSize = 3000, kFirstPiece = 1234 };

/* The first ciphertext bytes for this key, seed and plaintext: byte n is
 * plain[n] ^ key[key[(seed + n) % 32] % 32] ^ key[previous ciphertext % 32]. */
static const unsigned char kKnown[8] = {0x33, 0xE4, 0x8B, 0x88, 0x2B, 0x0C, 0x2B, 0xE0};

int main(void) {
  static unsigned char plain[kSize], sealed[kSize + 1], opened[kSize];
  unsigned char key_bytes[32]; /* a real program reads a key file: kelm_key_read_fd */
  kelm_key* key = NULL;
  kelm_stream *encryptor = NULL, *decryptor = NULL;
  size_t i, first = 0, rest = 0, written = 0;
  kelm_status status;
  int same = 0;

  for (i = 0; i < sizeof key_bytes; i++) key_bytes[i] = (unsigned char)(i * 7 + 1);
  for (i = 0; i < kSize; i++) plain[i] = (unsigned char)(i % 251);

  status = kelm_key_new(key_bytes, sizeof key_bytes, &key);
  if (status == KELM_OK) status = kelm_encryptor_new(key, 42, &encryptor);
  if (status == KELM_OK) status = kelm_decryptor_new(key, &decryptor);
  kelm_key_free(key); /* each stream keeps its own copy of what it needs */
  /* The first update writes the seed byte before the ciphertext. */
  if (status == KELM_OK) status = kelm_stream_update(encryptor, plain, kFirstPiece, sealed, &first);
  if (status == KELM_OK)
    status = kelm_stream_update(encryptor, plain + kFirstPiece, kSize - kFirstPiece, sealed + first,
                                &rest);
  /* A decryptor takes the seed byte as the first byte it is given. */
  if (status == KELM_OK)
    status = kelm_stream_update(decryptor, sealed, first + rest, opened, &written);
  kelm_stream_free(encryptor);
  kelm_stream_free(decryptor);
  if (status != KELM_OK) {
    fprintf(stderr, "example: %s\n", kelm_status_text(status));
    return 1;
  }
  same = first + rest == kSize + 1 && written == kSize && sealed[0] == 42 &&
         memcmp(sealed + 1, kKnown, sizeof kKnown) == 0 && memcmp(plain, opened, kSize) == 0;
  printf("libkelm %s: %d bytes, round trip %s\n", kelm_version(), kSize, same ? "ok" : "FAILED");
  return same ? 0 : 1;
}
