// The manager's own program file: where it is and the version information it carries.
#pragma once

#include <string>

#include "view.h"

// The full path of the running program file; empty when it cannot be had.
std::string ProgramPath();
// The directory of the program file, without a trailing backslash; empty when unknown.
std::string ProgramDirectory();
// The file version of the running program's version information; zeros when it has none.
ProgramVersion ReadProgramVersion();
