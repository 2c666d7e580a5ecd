#pragma once

#include <QStringList>

namespace console {

// Names the program for the platform (error report title, desktop entries) by its executable
// name. It sets no display name: the platform would append one to the window's title bar
// caption.
void nameProgram();

// Runs the console: loads the component from the folders, creates the window, runs its load
// handler, shows it and runs the event loop. A component that cannot be loaded or created is
// reported with the library and the reason. Returns the program's exit status: 0 after Quit
// or closing the window, non-zero after a failure.
int run(const QStringList &componentFolders);

} // namespace console
