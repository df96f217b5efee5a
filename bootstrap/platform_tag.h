#ifndef KV_BOOTSTRAP_PLATFORM_TAG_H_
#define KV_BOOTSTRAP_PLATFORM_TAG_H_

// The platform a bootstrap is built for, as the install agent's URL and the
// per-user cache name it. An agent may carry native programs, so each
// processor architecture has a tag of its own: a bootstrap never fetches,
// caches or runs another architecture's agent.
#if defined(__x86_64__)
#define KV_PLATFORM_TAG "tux64le"
#elif defined(__aarch64__) && defined(__AARCH64EL__)
#define KV_PLATFORM_TAG "tuxarm64le"
#else
#error "the bootstrap is built for x86-64 and little-endian aarch64 Linux only"
#endif
inline constexpr char kPlatformTag[] = KV_PLATFORM_TAG;

#endif  // KV_BOOTSTRAP_PLATFORM_TAG_H_
