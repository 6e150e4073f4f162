// The console of a program built for the window system.
#pragma once

namespace quiver {

// Attaches the process to its parent's console when the parent has one, so that the program
// writes to the console it was started from. False: no console to attach to.
bool AttachParentConsole();

}  // namespace quiver
