// The shortcut on the player's desktop that starts the updater from the
// install folder, written (again) each time the window is made.
#pragma once

// Writes "Drakmoor - Corvel.lnk" on the desktop, pointing at this program
// with its folder as the working directory. Raises Exception when the
// shell's link object can't be had; a desktop that can't be found is
// skipped.
void WriteDesktopShortcut();
