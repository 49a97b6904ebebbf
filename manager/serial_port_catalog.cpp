#include "serial_port_catalog.h"

#include "text_functions.h"

namespace {

const std::string* FriendlyNameOf(const std::string& port,
                                  const std::map<std::string, std::string>& present) {
  const std::string wanted = UpperCase(port);
  for (const auto& [name, friendly] : present)
    if (UpperCase(name) == wanted) return &friendly;
  return nullptr;
}

}  // namespace

bool PortIsPresent(const std::string& port, const std::map<std::string, std::string>& present) {
  return FriendlyNameOf(port, present) != nullptr;
}

std::string PortPresenceText(const std::string& port,
                             const std::map<std::string, std::string>& present) {
  if (port.empty()) return "";
  const std::string* friendly = FriendlyNameOf(port, present);
  if (friendly == nullptr) return port + " is not present on this computer";
  if (friendly->empty()) return port + " is present on this computer";
  std::string inParentheses(1, '(');
  inParentheses.append(UpperCase(port)).push_back(')');
  if (UpperCase(*friendly).find(inParentheses) != std::string::npos) return *friendly;
  std::string text = *friendly;
  text.append(" (").append(port).push_back(')');
  return text;
}
