// A whole file from one descriptor to another: what the input and the
// output are, the seed byte, the key's tables and the engine, with the
// caller's callbacks.
#pragma once

#include <cstdint>
#include <span>

#include "file_io.h"
#include "kelm.h"
#include "secure_memory.h"
#include "stream.h"

namespace kelm {

/// Encrypts (with `seed`) or decrypts `in` into `out` with `key`, as
/// kelm_encrypt_fd and kelm_decrypt_fd promise, through `files` and with
/// memory from `pages`; `options` may be null.
kelm_status stream_fd(Direction direction, std::span<const std::uint8_t> key, std::uint8_t seed,
                      int in, int out, const kelm_fd_options* options,
                      FileAccess& files = system_files(), PageSource& pages = system_pages());

}  // namespace kelm
