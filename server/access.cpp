#include "access.h"

#include <algorithm>

#include "system_log.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// A decimal number of 1 to 3 digits, no leading zero, at most `limit`.
std::optional<std::uint32_t> ParseSmallNumber(const std::string& text, std::uint32_t limit) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  if (text.size() > 1 && text[0] == '0') return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > limit) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::uint32_t> ParseIPv4Address(const std::string& text) {
  std::uint32_t address = 0;
  std::size_t start = 0;
  for (int octet = 0; octet < 4; ++octet) {
    std::size_t dot = text.find('.', start);
    if ((octet < 3) != (dot != std::string::npos)) return std::nullopt;
    std::size_t end = octet < 3 ? dot : text.size();
    auto value = ParseSmallNumber(text.substr(start, end - start), 255);
    if (!value) return std::nullopt;
    address = (address << 8) | *value;
    start = end + 1;
  }
  return address;
}

std::optional<std::vector<ClientRange>> ParseAllowedClients(const std::string& value,
                                                            std::string* badEntry) {
  std::vector<ClientRange> ranges;
  if (Trim(value).empty()) return ranges;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = value.find(',', start);
    std::string entry =
        Trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    std::size_t slash = entry.find('/');
    auto address = ParseIPv4Address(entry.substr(0, slash));
    std::optional<std::uint32_t> prefix = 32;
    if (slash != std::string::npos) prefix = ParseSmallNumber(entry.substr(slash + 1), 32);
    if (!address || !prefix) {
      *badEntry = entry;
      return std::nullopt;
    }
    // A shift by 32 is undefined: /0 is the mask of nothing.
    const std::uint32_t mask = *prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - *prefix);
    ranges.push_back(ClientRange{*address & mask, mask});
    if (comma == std::string::npos) return ranges;
    start = comma + 1;
  }
}

bool IsAllowedClient(const std::vector<ClientRange>& ranges, const std::string& address) {
  if (ranges.empty()) return true;
  auto parsed = ParseIPv4Address(address);
  if (!parsed) return false;
  return std::any_of(ranges.begin(), ranges.end(), [&](const ClientRange& range) {
    return (*parsed & range.mask) == range.network;
  });
}

std::string RefusalLog::Refused(const std::string& address, Clock::time_point now) {
  const std::string line = address + " refused: not an allowed client";
  auto found = std::find_if(entries_.begin(), entries_.end(),
                            [&](const Entry& entry) { return entry.address == address; });
  if (found == entries_.end()) {
    if (entries_.size() == kMaxAddresses) {
      entries_.erase(std::min_element(
          entries_.begin(), entries_.end(),
          [](const Entry& a, const Entry& b) { return a.lastSeen < b.lastSeen; }));
    }
    entries_.push_back(Entry{address, now, now, 0});
    return line;
  }
  found->lastSeen = now;
  ++found->unlogged;
  if (now - found->lastLine < kInterval) return std::string();
  const unsigned long long count = found->unlogged;
  found->unlogged = 0;
  found->lastLine = now;
  return line + Format(" (%llu times since the last line)", count);
}

void RefusalLog::Refused(const std::string& address, const LogSettings& log) {
  std::string line = Refused(address, Clock::now());
  if (line.empty()) return;
  LogEvent(line, log);
  SystemLog::Warning(line);  // as rate-limited as the log line
}
