// The process-wide application tag: a setting of the application object that the main window
// writes once at start-up, before the first drive object exists, and that every drive object
// reads to decide whether it may use the ASPI manager on an NT-family system.
#pragma once

#include <cstdint>

namespace quiver {

// The value that permits the ASPI manager on an NT-family system.
constexpr std::int32_t kAspiPermittedTag = 32767;

std::int32_t ApplicationTag();
void SetApplicationTag(std::int32_t tag);

}  // namespace quiver
