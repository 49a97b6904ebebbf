// Shared helpers of the device server's unit tests: a temporary directory, whole-file reads and
// writes, and a fixture that restores the process-wide DebugEnabled flag.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "event_log.h"

namespace vmds_unit {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vmds-unit-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
      return;
    }
    path_ = buffer.data();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

// The lines of a log file without their CR LF ends; a line end other than CR LF fails the test.
inline std::vector<std::string> LogLines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = content.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "log text does not end in CR LF: " << content.substr(pos);
      break;
    }
    lines.push_back(content.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

// The message of a log line: what follows "Mmm-dd-yyyy hh:mm:ss ".
inline std::string MessageOf(const std::string& line) {
  constexpr std::size_t kStampAndBlank = 21;
  return line.size() >= kStampAndBlank ? line.substr(kStampAndBlank) : std::string();
}

// Every test that touches DebugEnabled leaves it as the process started with it: set.
class DebugFlagTest : public ::testing::Test {
 protected:
  void SetUp() override { DebugEnabled = true; }
  void TearDown() override { DebugEnabled = true; }
};

}  // namespace vmds_unit
