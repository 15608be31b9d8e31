// Whether this build runs under a sanitizer whose allocator keeps freed memory
// in quarantine: resident-memory growth says nothing about leaks there.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized_build = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized_build = true;
#else
constexpr bool sanitized_build = false;
#endif
#else
constexpr bool sanitized_build = false;
#endif
