#pragma once

namespace zorvel {

// The tray application: one controller, made once and kept for the life of the process, no
// window and no taskbar entry. Returns the event loop's exit status.
int runApplication(int& argc, char** argv);

} // namespace zorvel
