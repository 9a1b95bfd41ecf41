#pragma once

// QUORVANE_TEST_SANITIZED is 1 in AddressSanitizer builds, whose runtime changes what memory
// checks can observe (mlock becomes a no-op, freed memory is quarantined).
#if defined(__SANITIZE_ADDRESS__)
#define QUORVANE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVANE_TEST_SANITIZED 1
#endif
#endif
