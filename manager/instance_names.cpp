#include "instance_names.h"

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
