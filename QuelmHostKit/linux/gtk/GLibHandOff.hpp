#pragma once

// GLib hands work between threads (main-context sources, GTask's thread pool) under locks of its
// own that ThreadSanitizer cannot see, GLib not being built with it. These mark such a hand-off
// for the checker: what the sender wrote before send(p) happens before what the receiver reads
// after receive(p). They compile to nothing in other builds.

#if defined(__SANITIZE_THREAD__)
#define QUELM_GLIB_HAND_OFF_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUELM_GLIB_HAND_OFF_CHECKED 1
#endif
#endif

#if defined(QUELM_GLIB_HAND_OFF_CHECKED)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace quelm::GLibHandOff {

inline void send([[maybe_unused]] const void* what) {
#if defined(QUELM_GLIB_HAND_OFF_CHECKED)
    __tsan_release(const_cast<void*>(what));
#endif
}

inline void receive([[maybe_unused]] const void* what) {
#if defined(QUELM_GLIB_HAND_OFF_CHECKED)
    __tsan_acquire(const_cast<void*>(what));
#endif
}

}  // namespace quelm::GLibHandOff
