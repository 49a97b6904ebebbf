// Fuzz target: the manager's list-text functions: GetNumElements and GetElement, the instance list
// row (MakeInstanceListRow), the names-list split of Remove (WithoutInstanceName) and
// CheckStringForNonNumericCharacter.
// Input: three 32-bit integers (columns, row, column; the first is also the TCP port), then
// NUL-separated texts: the delimiter, an instance name, a serial port name, and the list (the
// rest of the input).
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "instance_list.h"
#include "instance_names.h"
#include "run_time_error.h"
#include "text_functions.h"
#include "value_conversions.h"

namespace {

std::string NextText(const std::string& input, std::size_t& pos) {
  const std::size_t end = input.find('\0', pos);
  const std::string text = input.substr(pos, end == std::string::npos ? end : end - pos);
  pos = end == std::string::npos ? input.size() : end + 1;
  return text;
}

std::vector<std::string> Split(const std::string& list, char delimiter) {
  std::vector<std::string> pieces(1);
  for (char c : list) {
    if (c == delimiter)
      pieces.emplace_back();
    else
      pieces.back() += c;
  }
  return pieces;
}

std::size_t Count(const std::string& text, char c) {
  std::size_t n = 0;
  for (char x : text) n += x == c;
  return n;
}

void CheckNumElements(const std::string& list, const std::string& delimiter) {
  // Occurrences in list + delimiter, overlapping ones included.
  std::size_t expected = 0;
  if (list.empty()) {
    expected = 0;
  } else if (delimiter.empty()) {
    expected = 1;
  } else {
    const std::string text = list + delimiter;
    for (std::size_t p = 0; p + delimiter.size() <= text.size(); ++p)
      expected += text.compare(p, delimiter.size(), delimiter) == 0;
  }
  try {
    const std::int16_t n = GetNumElements(list, delimiter);
    FUZZ_CHECK(expected <= 32767 && static_cast<std::size_t>(n) == expected);
  } catch (const RunTimeFailure& failure) {
    FUZZ_CHECK(failure.Number() == kErrOverflow && expected > 32767);
  }
}

void CheckElement(const std::string& list, const std::string& delimiter, std::int32_t columns,
                  std::int32_t row, std::int32_t column) {
  const std::int64_t product = std::int64_t{columns} * row;
  const std::int64_t k = product + column;
  const bool overflow =
      product != static_cast<std::int32_t>(product) || k != static_cast<std::int32_t>(k);
  std::string element;
  try {
    element = GetElement(list, delimiter, columns, row, column);
  } catch (const RunTimeFailure& failure) {
    FUZZ_CHECK(failure.Number() == kErrOverflow && overflow);
    return;
  }
  FUZZ_CHECK(!overflow);
  if (delimiter.empty()) {
    FUZZ_CHECK(element.empty());
  } else if (delimiter.size() == 1) {
    const std::vector<std::string> pieces = Split(list, delimiter[0]);
    const std::int64_t index = k < 0 ? 0 : k;
    FUZZ_CHECK(element == (index < static_cast<std::int64_t>(pieces.size())
                               ? pieces[static_cast<std::size_t>(index)]
                               : std::string()));
  } else {
    FUZZ_CHECK(element.find(delimiter) == std::string::npos);
    FUZZ_CHECK(list.find(element) != std::string::npos);
  }
}

void CheckWithoutInstanceName(const std::string& list, const std::string& name) {
  const std::string rest = WithoutInstanceName(list, name);
  const std::vector<std::string> entries = Split(list, '%');
  bool found = false;
  for (const std::string& entry : entries) found = found || entry == name;
  if (!found) {
    FUZZ_CHECK(rest == list);
  } else if (entries.size() == 1) {
    FUZZ_CHECK(rest.empty());
  } else {
    // The entry and one separator are gone, nothing else.
    FUZZ_CHECK(rest.size() == list.size() - name.size() - 1);
    FUZZ_CHECK(Count(rest, '%') == Count(list, '%') - 1);
  }
}

void CheckListRow(const std::string& name, std::int32_t port, const std::string& serialPort) {
  VMDSInstanceClass record;
  record.mInstanceName = name;
  record.mTCPPort = port;
  record.mCOMPort = serialPort;
  try {
    const InstanceListRow row = MakeInstanceListRow(record);
    FUZZ_CHECK(serialPort.size() >= 3);
    FUZZ_CHECK(row.InstanceName == name && row.TCPPort == std::to_string(port));
    FUZZ_CHECK(IsSerialPortColumn(row.SerialPort));
  } catch (const RunTimeFailure& failure) {
    const int n = failure.Number();
    FUZZ_CHECK((n == kErrInvalidProcedureCall) == (serialPort.size() < 3));
    FUZZ_CHECK(n == kErrInvalidProcedureCall || n == kErrTypeMismatch || n == kErrOverflow);
  }
}

void CheckNonNumeric(const std::string& text) {
  std::string checked = text;
  const std::int16_t result = CheckStringForNonNumericCharacter(checked);
  FUZZ_CHECK(checked == Trim(text));
  bool digitsOnly = true;
  for (char c : checked) digitsOnly = digitsOnly && c >= '0' && c <= '9';
  FUZZ_CHECK(result == (digitsOnly ? 0 : 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::int32_t numbers[3] = {0, 0, 0};
  const std::size_t head = size < sizeof numbers ? size : sizeof numbers;
  if (head > 0) std::memcpy(numbers, data, head);
  const std::string input(reinterpret_cast<const char*>(data) + head, size - head);
  std::size_t pos = 0;
  const std::string delimiter = NextText(input, pos);
  const std::string name = NextText(input, pos);
  const std::string serialPort = NextText(input, pos);
  const std::string list = input.substr(pos);

  CheckNumElements(list, delimiter);
  CheckElement(list, delimiter, numbers[0], numbers[1], numbers[2]);
  CheckWithoutInstanceName(list, name);
  CheckListRow(name, numbers[0], serialPort);
  CheckNonNumeric(name);
  return 0;
}
