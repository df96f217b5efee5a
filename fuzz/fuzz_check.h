#ifndef KV_FUZZ_FUZZ_CHECK_H_
#define KV_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

/// Fails the fuzz target: libFuzzer saves the input that got here, and the
/// replay driver stops with the message.
#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
      abort();                                                                             \
    }                                                                                      \
  } while (false)

#endif  // KV_FUZZ_FUZZ_CHECK_H_
