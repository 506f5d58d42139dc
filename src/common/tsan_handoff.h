// Happens-before edges that ThreadSanitizer cannot see for itself. The work
// pool's library is not built with the sanitizer, so the hand-over of a loop
// body to a pool thread, and of its results back to the caller, happens in
// code the sanitizer never watches; without these edges every value a body
// reads from its caller would be reported as a race. Under any other build
// both calls are empty.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define VELQ_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELQ_TSAN 1
#endif
#endif

#ifdef VELQ_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace velq {

// Everything this thread did before is visible to a later acquire of `token`.
inline void tsan_release(void* token) {
#ifdef VELQ_TSAN
  __tsan_release(token);
#else
  (void)token;
#endif
}

// Everything done before the releases of `token` is visible from here on.
inline void tsan_acquire(void* token) {
#ifdef VELQ_TSAN
  __tsan_acquire(token);
#else
  (void)token;
#endif
}

}  // namespace velq
