// Whether the compiler builds this code under a sanitizer, however it was
// asked for: a build option or a packager's own flags.
#pragma once

/// 1 under AddressSanitizer, ThreadSanitizer or MemorySanitizer, else 0:
/// their runtimes make mlock lock nothing, and their frames are several
/// times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define KELM_SANITIZED 1
#endif
#endif
#ifndef KELM_SANITIZED
#define KELM_SANITIZED 0
#endif

/// 1 under ThreadSanitizer, whose runtime holds a signal back from a
/// thread that waits for a lock until that thread has the lock.
#if defined(__SANITIZE_THREAD__)
#define KELM_THREAD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KELM_THREAD_SANITIZED 1
#endif
#endif
#ifndef KELM_THREAD_SANITIZED
#define KELM_THREAD_SANITIZED 0
#endif
