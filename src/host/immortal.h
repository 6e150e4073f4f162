// An object made on first use and never destroyed, for state that other threads (or a system
// component the process does not control) may still use while the process exits. The static
// that holds it owns its storage; no destructor runs at exit.
#pragma once

#include <new>

namespace quiver {

template <typename T>
class Immortal {
  public:
    Immortal() { ::new (static_cast<void*>(storage_)) T(); }
    ~Immortal() = default;
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace quiver
