// A fuzz target's check of a result: on a wrong result it names the check and aborts, so that
// libFuzzer keeps the input as a finding.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// The serial-port column of an instance list row: "COM" and a whole number within 16 bits,
// right-aligned in three characters ("COM  5", "COM 12", "COM123", "COM-32768").
inline bool IsSerialPortColumn(const std::string& column) {
  if (column.size() < 6 || column.compare(0, 3, "COM") != 0) return false;
  const std::string number = column.substr(3);
  const std::size_t first = number.find_first_not_of(' ');
  if (first == std::string::npos) return false;
  const std::string digits = number.substr(first);
  if (digits.size() < 3 ? number.size() != 3 : first != 0) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(digits.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= -32768 && value <= 32767 &&
         std::to_string(value) == digits;
}
