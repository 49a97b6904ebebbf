#include "text_functions.h"

#include <cctype>
#include <limits>

#include "run_time_error.h"
#include "value_conversions.h"

std::int16_t CheckStringForNonNumericCharacter(std::string& CheckString) {
  CheckString = Trim(CheckString);
  for (char c : CheckString)
    if (c > '9' || c < '0') return 1;
  return 0;
}

std::int16_t GetNumElements(const std::string& strList, const std::string& strDelimiter) {
  if (strList.empty()) return 0;
  if (strDelimiter.empty()) return 1;
  std::string text = strList + strDelimiter;
  int count = 0;
  std::size_t pos;
  while ((pos = text.find(strDelimiter)) != std::string::npos) {
    if (count == std::numeric_limits<std::int16_t>::max()) throw RunTimeFailure(kErrOverflow);
    ++count;
    text.erase(0, pos + 1);  // cut after the first character of the occurrence
  }
  return static_cast<std::int16_t>(count);
}

std::string GetElement(const std::string& strList, const std::string& strDelimiter,
                       std::int32_t lngNumColumns, std::int32_t lngRow, std::int32_t lngColumn) {
  std::int32_t product = 0, k = 0;
  if (__builtin_mul_overflow(lngNumColumns, lngRow, &product) ||
      __builtin_add_overflow(product, lngColumn, &k))
    throw RunTimeFailure(kErrOverflow);
  // An empty delimiter occurs at the very start of any text: each cut takes nothing, and the text
  // before the first occurrence is empty, whatever k is. Answer at once instead of cutting
  // nothing up to 2^31 times.
  if (strDelimiter.empty()) return "";
  std::string text = strList + strDelimiter;
  for (std::int32_t i = 0; i < k; ++i) {
    std::size_t pos = text.find(strDelimiter);
    if (pos == std::string::npos) return "";
    text.erase(0, pos + strDelimiter.size());
    if (text.empty()) return "";
  }
  return text.substr(0, text.find(strDelimiter));
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
