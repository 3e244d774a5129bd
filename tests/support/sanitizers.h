// Which sanitizer a test build runs under, for the few cases one cannot run or has nothing to
// look at in.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define FD_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FD_UNDER_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define FD_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FD_UNDER_ASAN 1
#endif
#endif
