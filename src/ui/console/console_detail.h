// Inside the console toolkit: its form.
#pragma once

#include <memory>

#include "ui/toolkit.h"

namespace quiver::ui::console::detail {

std::unique_ptr<FormBackend> MakeForm(Application& application);

}  // namespace quiver::ui::console::detail
