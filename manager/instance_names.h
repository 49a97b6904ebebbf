// The names derived from an instance name N.
#pragma once

#include <string>

inline constexpr const char* kMasterInstanceName = "Master";
inline constexpr const char* kMasterServiceName = "Daltrimore_VMDS_Mstr";
inline constexpr const char* kMasterServiceDisplayName = "Daltrimore VMDS Mstr";

// "Daltrimore VMDS " + N.
std::string ServiceDisplayNameOf(const std::string& instanceName);
// The display name with every blank turned into "_": "Daltrimore_VMDS_" + N with "_" for blanks.
std::string ServiceNameOf(const std::string& instanceName);
// InstanceNamesList without the entry named exactly `instanceName` (the first such entry): the
// list is split on "%", never searched for a substring.
std::string WithoutInstanceName(const std::string& list, const std::string& instanceName);
// InstallDir + "\" + N (the master's directory is the manager's directory itself).
std::string InstanceDirectoryOf(const std::string& installDir, const std::string& instanceName);
// directory + "\" + StartupFileName.
std::string StartupFilePathOf(const std::string& directory, const std::string& startupFileName);
