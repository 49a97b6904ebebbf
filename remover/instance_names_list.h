// ParseInstanceNamesList: the services to remove, from the master startup file.
#pragma once

#include <string>
#include <vector>

inline constexpr const char* kServicePrefix = "Daltrimore_VMDS_";
inline constexpr const char* kMasterServiceName = "Daltrimore_VMDS_Mstr";

// ServiceRemovalList: one service name per piece of the "InstanceNamesList=" value, in list
// order, then the master's service. No key at all gives an empty list (not even the master).
// The value ends at the first CR or LF after "=" (or the end of the text). Empty pieces (an
// instance list with no instances, "%%") name no service and are skipped.
std::vector<std::string> ParseInstanceNamesList(const std::string& text);
