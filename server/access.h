// Who may reach the device: the allow-list of client addresses and the listen address of the
// startup file, and the log of refused clients.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "event_log.h"

// An IPv4 network in host byte order: an address matches when (address & mask) == network.
struct ClientRange {
  std::uint32_t network = 0;
  std::uint32_t mask = 0;
  bool operator==(const ClientRange&) const = default;
};

// A dotted-decimal IPv4 address: four decimal octets 0-255 without leading zeros ("010" could be
// meant as octal and is refused). Host byte order.
std::optional<std::uint32_t> ParseIPv4Address(const std::string& text);

// The value of AllowedClients: addresses and ranges ("10.1.5.0/24", prefix 0-32) separated by
// commas, blanks around each. A value of blanks only is the empty list (anyone). Host bits
// beyond the prefix are ignored. On a bad entry returns nothing and sets `*badEntry` to it.
std::optional<std::vector<ClientRange>> ParseAllowedClients(const std::string& value,
                                                            std::string* badEntry);

// True when `address` (dotted decimal, as accept reports it) is in one of `ranges`; an empty
// list allows anyone. An address that does not read is not allowed.
bool IsAllowedClient(const std::vector<ClientRange>& ranges, const std::string& address);

// Logs refused clients without letting a host that retries in a loop fill the disk: the first
// refusal of an address at once, then at most one line a minute per address, with the count of
// refusals since its last line. At most kMaxAddresses addresses are remembered; a new one pushes
// out the one refused longest ago.
class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxAddresses = 256;
  static constexpr std::chrono::seconds kInterval{60};

  // The line to log for this refusal, or an empty string while the address's minute runs.
  std::string Refused(const std::string& address, Clock::time_point now);
  // Refused at the steady clock's now, logging the line.
  void Refused(const std::string& address, const LogSettings& log);
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string address;
    Clock::time_point lastLine;
    Clock::time_point lastSeen;
    std::uint64_t unlogged = 0;  // refusals since the last line
  };
  std::vector<Entry> entries_;
};
