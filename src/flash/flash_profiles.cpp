#include "flash/flash_tables.h"

// The bytes come from a source generated at build time: the placeholder profiles, or the drive
// makers' resource when the build names one (QUIVER_FLASH_PROFILES).
namespace quiver::detail {
extern const std::uint8_t kFlashProfileData[kFlashProfilesBytes];
}  // namespace quiver::detail

#ifndef QUIVER_FLASH_PROFILES_PLACEHOLDERS
#error "QUIVER_FLASH_PROFILES_PLACEHOLDERS must be defined to 0 or 1"
#endif

namespace quiver {

const std::uint8_t* FlashProfiles() {
    return detail::kFlashProfileData;
}

bool FlashProfilesArePlaceholders() {
    return QUIVER_FLASH_PROFILES_PLACEHOLDERS != 0;
}

}  // namespace quiver
