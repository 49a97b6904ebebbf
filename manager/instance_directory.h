// The checked deletion of an instance directory (for Remove instance).
//
// The instance name comes from the master startup file, which a person may have edited by hand.
// A name that is empty, "..", holds a path separator or a drive colon, or otherwise would not
// name a directory strictly inside the manager's directory is refused before anything is deleted.
#pragma once

#include <string>

#include "file_system.h"

// True when managerDirectory + "\" + name is a directory strictly inside managerDirectory: the
// name is not empty, holds none of \ / : * ? " < > | and no control character, and is not made
// of dots and blanks only and does not end in a dot or a blank (Windows drops trailing dots and
// blanks, so ". ." would be the manager's directory itself and "Dock." the directory "Dock").
bool IsInstanceDirectoryName(const std::string& name);

// Deletes managerDirectory + "\" + instanceName with everything in it. managerDirectory is the
// manager's own directory (where its program lies), never a value read from a startup file.
// Returns 0, kErrBadFileNameOrNumber (52) for a refused name or empty manager directory (nothing
// is deleted), or the run-time failure number of the file system's error (70 a file in use,
// 75 access, 76 the directory does not exist).
int DeleteInstanceDirectory(FileSystem& fs, const std::string& managerDirectory,
                            const std::string& instanceName);

// Where a path from an instance's startup file leads: one with a drive ("C:..."), a share or a
// leading backslash or slash as written; any other is inside the instance directory (the device
// server's current directory), leading ".\" left out.
std::string PathInInstanceDirectory(const std::string& instanceDirectory, const std::string& path);
