// The conversions the startup-file reader and the list row use (numbers, Booleans, trimmed
// texts). Failures raise a RunTimeFailure: "Type mismatch" (13) or "Overflow" (6).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Leading and trailing spaces removed (spaces only, as the startup file writes them).
std::string Trim(const std::string& text);

// True for one IPv4 address in dotted decimal: four numbers 0 to 255, without leading zeros.
bool IsIPv4Address(const std::string& text);
// True for a list of IPv4 addresses and ranges (a.b.c.d or a.b.c.d/n, n 0 to 32) separated by
// commas, with blanks allowed around each entry; an empty or blank list is true (anyone).
bool IsAllowedClientsList(const std::string& text);

// The leading decimal number of `value`: blanks (space, tab, line feed) are skipped wherever they
// stand, an optional sign, digits, a fraction and an exponent (E or D) are taken, the rest is
// ignored; a value that does not start with a number is 0.
double LeadingNumber(const std::string& value);

// `value` as a whole number text (blanks around it allowed); nothing when it is not one.
std::optional<double> WholeNumberText(const std::string& value);

// Rounds to the nearest integer, halves to the even neighbour; outside the type's range raises
// "Overflow".
std::int16_t RoundToInt16(double number);
std::int32_t RoundToInt32(double number);

// "Number" of the reader: the leading number, rounded, range-checked.
std::int16_t ReadNumber16(const std::string& value);
std::int32_t ReadNumber32(const std::string& value);

// "Boolean" of the reader: trimmed "True"/"False" in any letter case, or a number (0 False, any
// other True); any other text raises "Type mismatch".
bool ReadBoolean(const std::string& value);

// 1 when the trimmed value is exactly "Yes", else 0 (DebugEnabled and the drop flags).
std::int16_t ReadYes(const std::string& value);
