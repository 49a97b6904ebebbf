// The small text functions of the manager.
#pragma once

#include <cstdint>
#include <string>

// Trims the caller's CheckString; 1 when it then holds any character outside "0".."9", else 0.
std::int16_t CheckStringForNonNumericCharacter(std::string& CheckString);

// The text in upper or lower case (ASCII letters).
std::string UpperCase(std::string text);
std::string LowerCase(std::string text);

// Number of elements of the delimited list (0 for an empty list).
std::int16_t GetNumElements(const std::string& strList, const std::string& strDelimiter);

// Element lngNumColumns * lngRow + lngColumn (zero-based) of the delimited list; empty when the
// list has no such element. An overflow of the 32-bit arithmetic raises "Overflow". An empty
// delimiter gives empty text.
std::string GetElement(const std::string& strList, const std::string& strDelimiter,
                       std::int32_t lngNumColumns, std::int32_t lngRow, std::int32_t lngColumn);
