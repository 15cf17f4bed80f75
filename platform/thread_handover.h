#pragma once

// Marks for ThreadSanitizer where data crosses threads through a queue it cannot see into: Qt's
// event queue and GLib's main contexts lock with their own futexes, in libraries built without
// ThreadSanitizer. The sender marks the hand-over after its last write and before it posts; the
// receiver marks the receipt before its first read, both with the same key (the handed object's
// address). Outside a ThreadSanitizer build both are nothing.

#if defined(__SANITIZE_THREAD__)
#define CINDRAL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CINDRAL_THREAD_SANITIZER 1
#endif
#endif

#ifdef CINDRAL_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);

inline void MarkHandedOver(const void* key) { __tsan_release(const_cast<void*>(key)); }
inline void MarkReceived(const void* key) { __tsan_acquire(const_cast<void*>(key)); }
#else
inline void MarkHandedOver(const void*) {}
inline void MarkReceived(const void*) {}
#endif
