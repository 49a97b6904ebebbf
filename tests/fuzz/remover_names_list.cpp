// Fuzz target: the removal tool's ParseInstanceNamesList over any master startup file text.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "instance_names_list.h"

namespace {

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> list = ParseInstanceNamesList(text);

  const std::string key = "InstanceNamesList=";
  const std::size_t keyAt = text.find(key);
  if (keyAt == std::string::npos) {
    FUZZ_CHECK(list.empty());  // no key: not even the master's service
    return 0;
  }
  std::size_t end = text.find_first_of("\r\n", keyAt + key.size());
  if (end == std::string::npos) end = text.size();
  const std::string value = text.substr(keyAt + key.size(), end - keyAt - key.size());
  std::size_t pieces = 1;
  for (char c : value) pieces += c == '%';

  FUZZ_CHECK(!list.empty() && list.back() == kMasterServiceName);
  FUZZ_CHECK(list.size() - 1 <= pieces);
  const std::string prefix = kServicePrefix;
  for (std::size_t i = 0; i + 1 < list.size(); ++i) {
    const std::string& name = list[i];
    // "Daltrimore_VMDS_" and a piece of the value: not empty, not padded, no blank, no "%".
    FUZZ_CHECK(name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0);
    FUZZ_CHECK(!IsWhiteSpace(name[prefix.size()]) && !IsWhiteSpace(name.back()));
    FUZZ_CHECK(name.find_first_of(" %\r\n") == std::string::npos);
    FUZZ_CHECK(name.size() - prefix.size() <= value.size());
  }
  return 0;
}
