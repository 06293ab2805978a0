// The one lock of an object shared by the mixer's callers and the thread that owns Core Audio,
// and the proof of holding it that functions needing it take.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace coreaudio {

// A critical section on Windows (the programs still start on Windows XP, which has no slim
// reader/writer locks), a POSIX mutex elsewhere.
class Mutex {
 public:
#ifdef _WIN32
  Mutex() { InitializeCriticalSection(&section_); }
  ~Mutex() { DeleteCriticalSection(&section_); }
  void Lock() { EnterCriticalSection(&section_); }
  void Unlock() { LeaveCriticalSection(&section_); }
#else
  Mutex() { pthread_mutex_init(&mutex_, nullptr); }
  ~Mutex() { pthread_mutex_destroy(&mutex_); }
  void Lock() { pthread_mutex_lock(&mutex_); }
  void Unlock() { pthread_mutex_unlock(&mutex_); }
#endif
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

 private:
#ifdef _WIN32
  CRITICAL_SECTION section_;
#else
  pthread_mutex_t mutex_;
#endif
};

// Holds the lock for as long as it lives.
class Locked {
 public:
  explicit Locked(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~Locked() { mutex_.Unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace coreaudio
