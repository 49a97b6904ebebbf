#include "value_conversions.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "run_time_error.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Scans a number at the start of `text` (no blanks in it): sign, digits, fraction, exponent.
// Returns the number of characters taken (0 when there is no number) and the normalised text.
std::size_t ScanNumber(const std::string& text, std::string* normalised) {
  std::size_t i = 0;
  std::string out;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) out += text[i++];
  std::size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) { out += text[i++]; ++digits; }
  if (i < text.size() && text[i] == '.') {
    out += text[i++];
    while (i < text.size() && IsDigit(text[i])) { out += text[i++]; ++digits; }
  }
  if (digits == 0) return 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
    std::size_t j = i + 1;
    std::string exponent = "e";
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent += text[j++];
    std::size_t expDigits = 0;
    while (j < text.size() && IsDigit(text[j])) { exponent += text[j++]; ++expDigits; }
    if (expDigits > 0) { out += exponent; i = j; }
  }
  *normalised = out;
  return i;
}

double ToDouble(const std::string& normalised) { return std::strtod(normalised.c_str(), nullptr); }

double RoundHalfEven(double number) {
  if (!std::isfinite(number)) throw RunTimeFailure(kErrOverflow);
  double lower = std::floor(number);
  double diff = number - lower;
  if (diff > 0.5) return lower + 1;
  if (diff < 0.5) return lower;
  return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

template <typename T>
T RoundTo(double number) {
  double r = RoundHalfEven(number);
  if (r < static_cast<double>(std::numeric_limits<T>::min()) ||
      r > static_cast<double>(std::numeric_limits<T>::max()))
    throw RunTimeFailure(kErrOverflow);
  return static_cast<T>(r);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

namespace {

// A decimal number from 0 to `max` without sign or leading zeros.
bool IsSmallNumber(const std::string& text, int max) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return std::stoi(text) <= max;
}

std::string TrimBlanks(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

bool IsIPv4Address(const std::string& text) {
  std::size_t begin = 0;
  for (int part = 0; part < 4; ++part) {
    std::size_t end = part < 3 ? text.find('.', begin) : text.size();
    if (end == std::string::npos || !IsSmallNumber(text.substr(begin, end - begin), 255))
      return false;
    begin = end + 1;
  }
  return true;
}

bool IsAllowedClientsList(const std::string& text) {
  if (TrimBlanks(text).empty()) return true;
  std::size_t begin = 0;
  while (true) {
    const std::size_t comma = text.find(',', begin);
    const std::size_t length = comma == std::string::npos ? std::string::npos : comma - begin;
    const std::string entry = TrimBlanks(text.substr(begin, length));
    std::size_t slash = entry.find('/');
    if (!IsIPv4Address(entry.substr(0, slash))) return false;
    if (slash != std::string::npos && !IsSmallNumber(entry.substr(slash + 1), 32)) return false;
    if (comma == std::string::npos) return true;
    begin = comma + 1;
  }
}

double LeadingNumber(const std::string& value) {
  std::string stripped;
  for (char c : value)
    if (!IsBlank(c)) stripped += c;
  std::string normalised;
  if (ScanNumber(stripped, &normalised) == 0) return 0;
  return ToDouble(normalised);
}

std::optional<double> WholeNumberText(const std::string& value) {
  std::size_t begin = 0, end = value.size();
  while (begin < end && IsBlank(value[begin])) ++begin;
  while (end > begin && IsBlank(value[end - 1])) --end;
  std::string text = value.substr(begin, end - begin);
  std::string normalised;
  if (text.empty() || ScanNumber(text, &normalised) != text.size()) return std::nullopt;
  return ToDouble(normalised);
}

std::int16_t RoundToInt16(double number) { return RoundTo<std::int16_t>(number); }
std::int32_t RoundToInt32(double number) { return RoundTo<std::int32_t>(number); }

std::int16_t ReadNumber16(const std::string& value) { return RoundToInt16(LeadingNumber(value)); }
std::int32_t ReadNumber32(const std::string& value) { return RoundToInt32(LeadingNumber(value)); }

bool ReadBoolean(const std::string& value) {
  std::string text = Lower(Trim(value));
  if (text == "true") return true;
  if (text == "false") return false;
  if (std::optional<double> number = WholeNumberText(text)) return *number != 0;
  throw RunTimeFailure(kErrTypeMismatch);
}

std::int16_t ReadYes(const std::string& value) { return Trim(value) == "Yes" ? 1 : 0; }
