#include "instance_directory.h"

#include "instance_names.h"
#include "run_time_error.h"

bool IsInstanceDirectoryName(const std::string& name) {
  if (name.find_first_not_of(". ") == std::string::npos) return false;  // empty, ".", "..", ". ."
  // Windows drops trailing dots and blanks from a path: "Dock." and "Dock " name "Dock".
  if (name.back() == '.' || name.back() == ' ') return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 32) return false;
    switch (c) {
      case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return false;
      default:
        break;
    }
  }
  return true;
}

int DeleteInstanceDirectory(FileSystem& fs, const std::string& managerDirectory,
                            const std::string& instanceName) {
  std::string base = managerDirectory;
  while (base.size() > 1 && (base.back() == '\\' || base.back() == '/')) base.pop_back();
  if (base.empty() || base == "\\" || base == "/" || !IsInstanceDirectoryName(instanceName))
    return kErrBadFileNameOrNumber;
  return RunTimeErrorFromWin32(fs.DeleteDirectoryTree(InstanceDirectoryOf(base, instanceName)));
}

std::string PathInInstanceDirectory(const std::string& instanceDirectory,
                                    const std::string& path) {
  const bool drive = path.size() >= 2 && path[1] == ':';
  if (drive || (!path.empty() && (path[0] == '\\' || path[0] == '/'))) return path;
  std::string inside = path;
  while (inside.rfind(".\\", 0) == 0 || inside.rfind("./", 0) == 0) inside.erase(0, 2);
  return instanceDirectory + "\\" + inside;
}
