// Handle values as Windows hands them out, for the backends that keep handle tables of their
// own: multiples of four from 0x1000 up to a limit, each the next free one after the last given,
// so that a closed value comes back only in its turn.
#pragma once

#include <cstdint>

namespace quiver {

class HandleValues {
  public:
    static constexpr std::uintptr_t kFirst = 0x1000;
    static constexpr std::uintptr_t kStep = 4;

    explicit HandleValues(std::uintptr_t limit) : limit_(limit) {}

    // The next value that `inUse` (a map keyed by value) does not hold; 0 when all are taken.
    template <class Table>
    std::uintptr_t Next(const Table& inUse) {
        for (std::uintptr_t tries = 0; tries < (limit_ - kFirst) / kStep; ++tries) {
            const std::uintptr_t value = next_;
            next_ += kStep;
            if (next_ >= limit_) {
                next_ = kFirst;
            }
            if (inUse.count(value) == 0) {
                return value;
            }
        }
        return 0;
    }

  private:
    const std::uintptr_t limit_;
    std::uintptr_t next_ = kFirst;
};

}  // namespace quiver
