// Fuzz target: the manager's ReadStartupFiles, the master file and the instance files it names,
// over an in-memory file system whose root is a scratch directory. The input holds the files'
// contents separated by "<<<file>>>": the first is the master file, the next ones are handed out
// in turn to the other paths as they are first read (a repeated path reads the same content), and
// once they run out a path is "file not found". A content of 0x7F and one more byte is that Win32
// error number instead. Once 16 KiB have been read, every further read is a read fault (a count
// of thousands of instances over one name reads its file thousands of times, which is right but
// would slow the fuzzing down). Reading a path outside the scratch root, or changing any file,
// aborts.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "file_system.h"
#include "fuzz_check.h"
#include "instance_list.h"
#include "startup_file.h"
#include "view.h"

namespace {

const std::string kRoot = "S:\\scratch";
const std::string kSeparator = "<<<file>>>";
const std::size_t kReadBudget = 16 * 1024;

// True when the path lies in the scratch root as Windows resolves it: the system takes it up to
// a NUL, "\" and "/" separate, "." stays, ".." (or any name of dots and blanks with two dots,
// which Windows may shorten to "..") goes up, and a colon could name another drive, a device or
// a stream.
bool InsideScratch(const std::string& fullPath) {
  const std::string path = fullPath.substr(0, fullPath.find('\0'));
  if (path.compare(0, kRoot.size() + 1, kRoot + "\\") != 0) return false;
  int depth = 0;
  std::size_t begin = kRoot.size() + 1;
  while (begin <= path.size()) {
    std::size_t end = path.find_first_of("\\/", begin);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(begin, end - begin);
    begin = end + 1;
    if (name.find(':') != std::string::npos) return false;
    if (name.empty() || name == ".") continue;
    if (name.find_first_not_of(". ") == std::string::npos && name.find("..") != std::string::npos) {
      if (--depth < 0) return false;
    } else {
      ++depth;
    }
  }
  return true;
}

class ScratchFileSystem : public FileSystem {
 public:
  explicit ScratchFileSystem(std::vector<std::string> contents) : contents_(std::move(contents)) {}
  std::size_t readCount = 0;
  std::string firstRead, lastRead;
  std::set<std::string> readPaths;

  int ReadTextFile(const std::string& path, std::string* content) override {
    FUZZ_CHECK(InsideScratch(path));
    if (readCount++ == 0) firstRead = path;
    lastRead = path;
    readPaths.insert(path);
    auto file = files_.find(path);
    if (file == files_.end()) {
      if (next_ == contents_.size()) return 2;  // ERROR_FILE_NOT_FOUND
      file = files_.emplace(path, contents_[next_++]).first;
    }
    const std::string& text = file->second;
    if (bytesRead_ > kReadBudget) return 30;  // ERROR_READ_FAULT
    bytesRead_ += text.size() + 1;
    if (text.size() == 2 && text[0] == '\x7f' && text[1] != 0)
      return static_cast<unsigned char>(text[1]);
    *content = text;
    return 0;
  }
  // The reader changes nothing.
  int WriteTextFile(const std::string&, const std::string&) override {
    FUZZ_CHECK(false);
    return 5;
  }
  int MakeDirectory(const std::string&) override {
    FUZZ_CHECK(false);
    return 5;
  }
  int RestrictDirectoryAccess(const std::string&) override {
    FUZZ_CHECK(false);
    return 5;
  }
  int CopyOneFile(const std::string&, const std::string&) override {
    FUZZ_CHECK(false);
    return 5;
  }
  int DeleteDirectoryTree(const std::string&) override {
    FUZZ_CHECK(false);
    return 5;
  }
  int MoveDirectory(const std::string&, const std::string&) override {
    FUZZ_CHECK(false);
    return 5;
  }
  int DeleteOneFile(const std::string&) override {
    FUZZ_CHECK(false);
    return 5;
  }
  bool DirectoryExists(const std::string& path) override {
    FUZZ_CHECK(InsideScratch(path));
    return false;
  }
  bool FileExists(const std::string& path) override {
    FUZZ_CHECK(InsideScratch(path));
    return false;
  }

 private:
  std::vector<std::string> contents_;
  std::size_t next_ = 0;
  std::size_t bytesRead_ = 0;
  std::map<std::string, std::string> files_;
};

struct ShownMessage {
  std::string text;
  MessageIcon icon;
  MessageButtons buttons;
};

class RecordingView : public MessageView {
 public:
  std::vector<ShownMessage> messages;
  std::vector<InstanceListRow> rows;
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override {
    messages.push_back({text, icon, buttons});
    return MessageAnswer::kOk;
  }
  void AddInstanceListRow(const InstanceListRow& row) override { rows.push_back(row); }
};

bool Trimmed(const std::string& text) {
  return text.empty() || (text.front() != ' ' && text.back() != ' ');
}

bool OnOff(std::int16_t flag) { return flag == 0 || flag == 1; }

// How many of `lines` set the key Protocol.
std::size_t ProtocolLines(const std::vector<std::string>& lines) {
  std::size_t count = 0;
  for (const std::string& line : lines) count += line.compare(0, 9, "Protocol=") == 0 ? 1 : 0;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> contents;
  for (std::size_t begin = 0;;) {
    const std::size_t end = input.find(kSeparator, begin);
    contents.push_back(input.substr(begin, end == std::string::npos ? end : end - begin));
    if (end == std::string::npos) break;
    begin = end + kSeparator.size();
  }

  ScratchFileSystem fs(contents);
  RecordingView view;
  ManagerState state;
  const bool ok = ReadStartupFiles(state, fs, view, kRoot + "\\vmds.ini");

  const int listed = std::max<int>(state.NumberofInstancesInstalled, 0);
  const int count = state.Instances.Count();
  FUZZ_CHECK(fs.readCount >= 1 && fs.firstRead == kRoot + "\\vmds.ini");
  FUZZ_CHECK(fs.readCount <= 1u + listed);
  FUZZ_CHECK(count <= 1 + listed && view.rows.size() <= static_cast<std::size_t>(count));
  if (ok) {
    FUZZ_CHECK(view.messages.empty() && count >= 1);
    const VMDSInstanceClass& master = state.Instances.Item(1);
    if (master.mMasterInstance && master.mInstanceName == "Master") {
      FUZZ_CHECK(count == 1 + listed && view.rows.size() == static_cast<std::size_t>(count));
    } else {
      FUZZ_CHECK(count == 1 && view.rows.empty());
    }
  } else {
    // One critical message that names the file being read (or the path refused before reading),
    // then the manager ends.
    FUZZ_CHECK(view.messages.size() == 1);
    const ShownMessage& shown = view.messages.front();
    FUZZ_CHECK(shown.icon == MessageIcon::kCritical && shown.buttons == MessageButtons::kOk);
    const std::string head = "Cannot open for read, " + fs.lastRead + ", ";
    const std::string refused = ", illegal filename";
    FUZZ_CHECK(
        (shown.text.size() > head.size() && shown.text.compare(0, head.size(), head) == 0) ||
        (shown.text.size() > refused.size() &&
         shown.text.compare(shown.text.size() - refused.size(), refused.size(), refused) == 0));
  }

  FUZZ_CHECK(Trimmed(state.InstallDir) && Trimmed(state.InstanceNamesList) &&
             Trimmed(state.UserManualFilename));
  for (int i = 1; i <= count; ++i) {
    const VMDSInstanceClass& r = state.Instances.Item(i);
    FUZZ_CHECK(Trimmed(r.mInstallDir) && Trimmed(r.mServiceName) &&
               Trimmed(r.mServiceDisplayName) && Trimmed(r.mLogFileName) && Trimmed(r.mCOMPort) &&
               Trimmed(r.mCOMPortParity) && Trimmed(r.mTLSCertificate) && Trimmed(r.mTLSKey) &&
               Trimmed(r.mTLSClientCA));
    FUZZ_CHECK(OnOff(r.mDebugEnabled) && OnOff(r.mDropDTRonSocketClose) &&
               OnOff(r.mDropRTSonSocketClose));
    FUZZ_CHECK(r.mCOMPortStopBits == 0.0f || r.mCOMPortStopBits == 1.0f ||
               r.mCOMPortStopBits == 1.5f || r.mCOMPortStopBits == 2.0f);
    if (i > 1) {
      // An instance loaded from the names list: one name of a directory of its own inside the
      // manager's directory (not empty, not dots and blanks only, no separator, drive or control
      // character), read from there.
      FUZZ_CHECK(r.mInstanceName.find_first_of("%\\/:") == std::string::npos);
      FUZZ_CHECK(r.mInstanceName.find_first_not_of(". ") != std::string::npos);
      FUZZ_CHECK(r.mInstanceName.back() != '.' && r.mInstanceName.back() != ' ');
      for (char c : r.mInstanceName) FUZZ_CHECK(static_cast<unsigned char>(c) >= 32);
      FUZZ_CHECK(fs.readPaths.count(kRoot + "\\" + r.mInstanceName + "\\vmds.ini") == 1);
    }
    // The lines kept for the rewrite are whole lines, with no blank line first or last.
    for (const std::string& line : r.mOtherLines)
      FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    if (!r.mOtherLines.empty()) {
      FUZZ_CHECK(r.mOtherLines.front().find_first_not_of(" \t") != std::string::npos);
      FUZZ_CHECK(r.mOtherLines.back().find_first_not_of(" \t") != std::string::npos);
    }
    // Remote port control on: every Protocol line of the file was the manager's own.
    if (r.mRemotePortControl) FUZZ_CHECK(ProtocolLines(r.mOtherLines) == 0);
    if (static_cast<std::size_t>(i) <= view.rows.size()) {
      const InstanceListRow& row = view.rows[static_cast<std::size_t>(i - 1)];
      FUZZ_CHECK(row.InstanceName == r.mInstanceName);
      FUZZ_CHECK(row.TCPPort == std::to_string(r.mTCPPort));
      FUZZ_CHECK(IsSerialPortColumn(row.SerialPort));
    }
  }
  // The master file as the manager rewrites it reads back to the same lines of its own and the
  // same kept lines: a second rewrite changes nothing.
  if (ok && state.Instances.Item(1).mMasterInstance) {
    ManagerState alone = state;
    alone.NumberofInstancesInstalled = 0;
    const std::string text =
        StartupFileText(alone, alone.Instances.Item(1), StartupFileLayout::kMaster);
    ScratchFileSystem again({text});
    RecordingView againView;
    ManagerState reread;
    FUZZ_CHECK(ReadStartupFiles(reread, again, againView, kRoot + "\\vmds.ini"));
    FUZZ_CHECK(reread.Instances.Count() == 1);
    const VMDSInstanceClass& master = reread.Instances.Item(1);
    FUZZ_CHECK(master.mOtherLines == state.Instances.Item(1).mOtherLines);
    FUZZ_CHECK(master.mRemotePortControl == state.Instances.Item(1).mRemotePortControl);
    FUZZ_CHECK(StartupFileText(reread, master, StartupFileLayout::kMaster) == text);

    // Ticking remote port control replaces the kept Protocol lines with the manager's one line
    // (and the blank lines that would then lead or end the kept ones): read back it is on, and
    // the other kept lines stay in their order.
    VMDSInstanceClass ticked = state.Instances.Item(1);
    const std::size_t kept = ticked.mOtherLines.size();
    const std::size_t replaced = ProtocolLines(ticked.mOtherLines);
    SetRemotePortControl(ticked, true);
    FUZZ_CHECK(ProtocolLines(ticked.mOtherLines) == 0 &&
               ticked.mOtherLines.size() <= kept - replaced);
    const std::string tickedText = StartupFileText(alone, ticked, StartupFileLayout::kMaster);
    ScratchFileSystem tickedFs({tickedText});
    ManagerState tickedRead;
    FUZZ_CHECK(ReadStartupFiles(tickedRead, tickedFs, againView, kRoot + "\\vmds.ini"));
    FUZZ_CHECK(tickedRead.Instances.Count() == 1);
    FUZZ_CHECK(tickedRead.Instances.Item(1).mRemotePortControl);
    FUZZ_CHECK(tickedRead.Instances.Item(1).mOtherLines == ticked.mOtherLines);
  }
  return 0;
}
