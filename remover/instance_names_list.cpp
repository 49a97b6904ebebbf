#include "instance_names_list.h"

namespace {

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string TrimWhiteSpace(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsWhiteSpace(text[begin])) ++begin;
  while (end > begin && IsWhiteSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::vector<std::string> ParseInstanceNamesList(const std::string& text) {
  std::vector<std::string> list;
  const std::string key = "InstanceNamesList=";
  std::size_t keyAt = text.find(key);
  if (keyAt == std::string::npos) return list;
  std::size_t begin = keyAt + key.size();
  std::size_t end = text.find_first_of("\r\n", begin);
  if (end == std::string::npos) end = text.size();
  std::string value = text.substr(begin, end - begin);

  std::size_t pieceBegin = 0;
  for (;;) {
    std::size_t percent = value.find('%', pieceBegin);
    std::string piece = TrimWhiteSpace(value.substr(
        pieceBegin, percent == std::string::npos ? std::string::npos : percent - pieceBegin));
    if (!piece.empty()) {
      for (char& c : piece)
        if (c == ' ') c = '_';
      list.push_back(kServicePrefix + piece);
    }
    if (percent == std::string::npos) break;
    pieceBegin = percent + 1;
  }
  list.push_back(kMasterServiceName);
  return list;
}
