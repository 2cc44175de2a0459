#pragma once

#include "support/Error.h"

#include <filesystem>
#include <string>

// Starting the tray application at login: an entry in the user's XDG autostart folder, which
// every freedesktop session (GNOME, KDE, Xfce, LXQt, Cinnamon, MATE) runs at login.

namespace zorvel::Autostart {

// "zorvel.desktop" in $XDG_CONFIG_HOME/autostart (~/.config/autostart).
std::filesystem::path entryURL();

// The entry exists and is neither hidden nor switched off (the session settings of some desktops
// switch an entry off by writing Hidden=true or X-GNOME-Autostart-enabled=false into it).
bool isEnabled();

// Writes the entry, so that the next login starts `executable` without arguments.
Result<void> enable(const std::filesystem::path& executable);
// Removes the entry; a missing entry is fine.
Result<void> disable();

// The entry's Exec value: the executable's full path (the login session's $PATH may lack the
// folder it was started from), quoted and escaped as the desktop entry format requires.
std::string execValue(const std::filesystem::path& executable);

} // namespace zorvel::Autostart
