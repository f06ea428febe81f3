#pragma once
// Storage for a process-wide object whose construction and destruction the program
// orders explicitly (create() and destroy()), instead of leaving it to static
// initialisation. Access before create() or after destroy() is a programming error.
#include <cassert>
#include <new>
#include <utility>

template <class T>
class Deferred {
 public:
  Deferred() = default;
  Deferred(const Deferred&) = delete;
  Deferred& operator=(const Deferred&) = delete;
  ~Deferred() { destroy(); }

  template <class... Args>
  T& create(Args&&... args) {
    destroy();
    T* obj = new (myStorage) T(std::forward<Args>(args)...);
    myLive = true;
    return *obj;
  }
  void destroy() {
    if (!myLive) return;
    get()->~T();
    myLive = false;
  }
  bool live() const { return myLive; }

  T* get() { assert(myLive); return std::launder(reinterpret_cast<T*>(myStorage)); }
  const T* get() const { assert(myLive); return std::launder(reinterpret_cast<const T*>(myStorage)); }
  T& operator*() { return *get(); }
  const T& operator*() const { return *get(); }
  T* operator->() { return get(); }
  const T* operator->() const { return get(); }

 private:
  alignas(T) unsigned char myStorage[sizeof(T)];
  bool myLive = false;
};
