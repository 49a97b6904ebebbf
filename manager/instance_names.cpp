#include "instance_names.h"

#include <algorithm>
#include <vector>

std::string ServiceDisplayNameOf(const std::string& instanceName) {
  return "Daltrimore VMDS " + instanceName;
}

std::string ServiceNameOf(const std::string& instanceName) {
  std::string name = ServiceDisplayNameOf(instanceName);
  for (char& c : name)
    if (c == ' ') c = '_';
  return name;
}

std::string InstanceDirectoryOf(const std::string& installDir, const std::string& instanceName) {
  return installDir + "\\" + instanceName;
}

std::string StartupFilePathOf(const std::string& directory, const std::string& startupFileName) {
  return directory + "\\" + startupFileName;
}

std::string WithoutInstanceName(const std::string& list, const std::string& instanceName) {
  std::vector<std::string> entries;
  for (std::size_t begin = 0;;) {
    std::size_t end = list.find('%', begin);
    entries.push_back(list.substr(begin, end == std::string::npos ? end : end - begin));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  auto found = std::find(entries.begin(), entries.end(), instanceName);
  if (found != entries.end()) entries.erase(found);
  std::string result;
  for (std::size_t i = 0; i < entries.size(); ++i) result += (i ? "%" : "") + entries[i];
  return result;
}
