#include "platform/application_tag.h"

#include <atomic>

namespace quiver {

namespace {
std::atomic<std::int32_t> g_tag{0};
}  // namespace

std::int32_t ApplicationTag() {
    return g_tag.load(std::memory_order_acquire);
}

void SetApplicationTag(std::int32_t tag) {
    g_tag.store(tag, std::memory_order_release);
}

}  // namespace quiver
