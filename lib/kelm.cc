// The C API: handles made and freed here, statuses for every failure, and
// no exception past these functions.
#include "kelm.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "fd_stream.h"
#include "kernels/kernels.h"
#include "key.h"
#include "platform.h"

#ifndef KELM_VERSION
#define KELM_VERSION "unknown"
#endif

struct kelm_stream {
  kelm_stream(kelm::Direction way, std::span<const std::uint8_t> key, std::uint8_t first)
      : direction(way), seed(first), schedule(key, first) {}

  const kelm::Direction direction;
  const std::uint8_t seed;  // an encryptor's
  kelm::KeySchedule schedule;
  const kelm::kernels::Kernels& kernels = kelm::kernels::best();
  bool started = false;        // the seed byte is written, or was read
  std::uint64_t position = 0;  // payload bytes so far
  std::uint8_t feedback = 0;   // the last ciphertext byte of the chunk so far
};

namespace {

using kelm::CHUNK_SIZE;

/// Enciphers `length` bytes in place from the stream's position: a chunk
/// already begun, or the last one, on one lane; whole chunks side by side.
void encrypt_in_place(kelm_stream& stream, std::uint8_t* bytes, std::size_t length) {
  const kelm::kernels::Schedule& schedule = stream.schedule.get();
  for (std::size_t at = 0; at < length;) {
    const std::uint64_t offset = stream.position % CHUNK_SIZE;
    const std::size_t whole = offset == 0 ? (length - at) / CHUNK_SIZE : 0;
    std::size_t done = 0;
    if (whole >= 2) {
      const std::size_t lanes = std::min(whole, kelm::kernels::kMaxLanes);
      std::uint8_t feedback[kelm::kernels::kMaxLanes] = {};
      for (std::size_t p = 0; p < CHUNK_SIZE; p += kelm::TILE_SIZE) {
        const std::size_t tile = std::min<std::size_t>(kelm::TILE_SIZE, CHUNK_SIZE - p);
        stream.kernels.encrypt_lanes(schedule, bytes + at + p, CHUNK_SIZE, lanes, p, tile,
                                     feedback);
      }
      done = lanes * CHUNK_SIZE;
      stream.feedback = 0;
    } else {
      done = static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SIZE - offset, length - at));
      std::uint8_t feedback = offset == 0 ? 0 : stream.feedback;
      stream.kernels.encrypt_lanes(schedule, bytes + at, done, 1, offset, done, &feedback);
      stream.feedback = feedback;
    }
    at += done;
    stream.position += done;
  }
}

/// Deciphers `length` bytes in place from the stream's position, a chunk's
/// stretch at a time.
void decrypt_in_place(kelm_stream& stream, std::uint8_t* bytes, std::size_t length) {
  for (std::size_t at = 0; at < length;) {
    const std::uint64_t offset = stream.position % CHUNK_SIZE;
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SIZE - offset, length - at));
    stream.feedback = stream.kernels.decrypt(stream.schedule.get(), bytes + at, offset, piece,
                                             offset == 0 ? 0 : stream.feedback);
    at += piece;
    stream.position += piece;
  }
}

kelm_status new_stream(const kelm_key* key, kelm::Direction direction, std::uint8_t seed,
                       kelm_stream** stream) {
  if (stream == nullptr) return KELM_INVALID_ARGUMENT;
  *stream = nullptr;
  if (key == nullptr) return KELM_INVALID_ARGUMENT;
  auto* made = new (std::nothrow) kelm_stream(direction, key->key.bytes(), seed);
  if (made == nullptr || !made->schedule.valid()) {
    delete made;
    return KELM_NO_MEMORY;
  }
  *stream = made;
  return KELM_OK;
}

/// Runs a whole file on the calling thread's locked, wiped stack.
[[gnu::noinline]] kelm_status stream_file(kelm::Direction direction, const kelm_key* key,
                                          std::uint8_t seed, int in, int out,
                                          const kelm_fd_options* options) {
  if (key == nullptr || in < 0 || out < 0) return KELM_INVALID_ARGUMENT;
  const kelm::StackLock stack = kelm::lock_working_stack();
  kelm_status status = KELM_NO_MEMORY;
  try {
    status = kelm::stream_fd(direction, key->key.bytes(), seed, in, out, options);
  } catch (...) {
    // The only exceptions the engine's calls throw are of memory running out.
  }
  kelm::unlock_working_stack(stack);
  return status;
}

}  // namespace

const char* kelm_version(void) { return KELM_VERSION; }

const char* kelm_status_text(kelm_status status) {
  switch (status) {
    case KELM_OK: return "success";
    case KELM_KEY_TOO_SMALL: return "key too small";
    case KELM_KEY_NOT_POWER_OF_TWO: return "key length not a power of two";
    case KELM_KEY_TOO_LARGE: return "key too large";
    case KELM_NO_MEMORY: return "out of memory";
    case KELM_READ_FAILED: return "input could not be read";
    case KELM_WRITE_FAILED: return "output could not be written";
    case KELM_STOPPED: return "stopped";
    case KELM_EMPTY_INPUT: return "input is empty";
    case KELM_INVALID_ARGUMENT: return "invalid argument";
  }
  return "unknown status";
}

kelm_status kelm_key_new(const void* bytes, size_t length, kelm_key** key) {
  if (key == nullptr) return KELM_INVALID_ARGUMENT;
  *key = nullptr;
  if (bytes == nullptr && length != 0) return KELM_INVALID_ARGUMENT;
  auto* made = new (std::nothrow) kelm_key;
  if (made == nullptr) return KELM_NO_MEMORY;
  const kelm_status status = made->key.assign({static_cast<const std::uint8_t*>(bytes), length});
  if (status != KELM_OK) {
    delete made;
    return status;
  }
  *key = made;
  return KELM_OK;
}

kelm_status kelm_key_read_fd(int fd, kelm_key** key, uint64_t* length) {
  if (key == nullptr) return KELM_INVALID_ARGUMENT;
  *key = nullptr;
  std::uint64_t learned = 0;
  if (length != nullptr) *length = 0;
  if (fd < 0) return KELM_INVALID_ARGUMENT;
  auto* made = new (std::nothrow) kelm_key;
  if (made == nullptr) return KELM_NO_MEMORY;
  const kelm_status status = made->key.read(fd, learned);
  if (length != nullptr) *length = learned;
  if (status != KELM_OK) {
    delete made;
    return status;
  }
  *key = made;
  return KELM_OK;
}

void kelm_key_free(kelm_key* key) { delete key; }

kelm_status kelm_encryptor_new(const kelm_key* key, uint8_t seed, kelm_stream** stream) {
  return new_stream(key, kelm::Direction::kEncrypt, seed, stream);
}

kelm_status kelm_decryptor_new(const kelm_key* key, kelm_stream** stream) {
  return new_stream(key, kelm::Direction::kDecrypt, 0, stream);
}

kelm_status kelm_stream_update(kelm_stream* stream, const void* in, size_t length, void* out,
                               size_t* written) {
  if (stream == nullptr || written == nullptr ||
      (length != 0 && (in == nullptr || out == nullptr))) {
    return KELM_INVALID_ARGUMENT;
  }
  *written = 0;
  if (length == 0) return KELM_OK;
  const auto* from = static_cast<const std::uint8_t*>(in);
  auto* to = static_cast<std::uint8_t*>(out);
  if (!stream->started) {
    stream->started = true;
    if (stream->direction == kelm::Direction::kEncrypt) {
      std::memmove(to + 1, from, length);
      to[0] = stream->seed;
      encrypt_in_place(*stream, to + 1, length);
      *written = length + 1;
      return KELM_OK;
    }
    stream->schedule.reseed(from[0]);
    ++from;
    --length;
  }
  std::memmove(to, from, length);
  if (stream->direction == kelm::Direction::kEncrypt) {
    encrypt_in_place(*stream, to, length);
  } else {
    decrypt_in_place(*stream, to, length);
  }
  *written = length;
  return KELM_OK;
}

void kelm_stream_free(kelm_stream* stream) { delete stream; }

kelm_status kelm_encrypt_fd(const kelm_key* key, uint8_t seed, int in, int out,
                            const kelm_fd_options* options) {
  return stream_file(kelm::Direction::kEncrypt, key, seed, in, out, options);
}

kelm_status kelm_decrypt_fd(const kelm_key* key, int in, int out, const kelm_fd_options* options) {
  return stream_file(kelm::Direction::kDecrypt, key, 0, in, out, options);
}
