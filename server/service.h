// The service's run sequence and its control handler.
#pragma once

#include <cstdint>
#include <string>

#include "listener.h"
#include "server_state.h"

inline constexpr const char* kVersionText = "4.0 Build 47";
// The same version as the program's version information gives it (FILEVERSION).
inline constexpr const char* kVersionNumber = "4.0.47.0";

// The exit code for the outcome that ended the connection cycle.
ServiceExitCode ExitCodeOfCycle(SessionOutcome outcome);

// The instance directory (with its trailing separator) from a registered program path: one pair
// of surrounding quotes is removed, then the program file name is cut off.
std::string InstanceDirectoryFromImagePath(const std::string& imagePath);

void ServiceMain(int argc, char** argv);
void ServiceControlHandler(std::uint32_t control);
