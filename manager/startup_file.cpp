#include "startup_file.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "instance_directory.h"
#include "instance_names.h"
#include "run_time_error.h"
#include "serial_settings.h"
#include "text_functions.h"
#include "value_conversions.h"

namespace {

const char* kCrLf = "\r\n";
const char* kMasterComment =
    "# DO NOT CHANGE THE NEXT EIGHT VARIABLES - THEY ARE UNDER PROGRAM CONTROL";
const char* kInstanceComment =
    "# DO NOT CHANGE THE NEXT FIVE VARIABLES - THEY ARE UNDER PROGRAM CONTROL";

const char* kProtocolKey = "Protocol";

std::string YesNo(std::int16_t flag) { return flag == 1 ? "Yes" : "No"; }

// A Protocol value the manager knows, in any case and with blanks around: Raw is false, RFC2217
// (remote port control) true; nothing for any other value.
std::optional<bool> RemotePortControlOf(const std::string& value) {
  const std::size_t begin = value.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::nullopt;
  const std::string token =
      LowerCase(value.substr(begin, value.find_last_not_of(" \t") - begin + 1));
  if (token == "raw") return false;
  if (token == "rfc2217") return true;
  return std::nullopt;
}

// The key of a `key=value` line; empty for a line without "=".
std::string KeyOf(const std::string& line) {
  const std::size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

class Lines {
 public:
  void Add(const std::string& line) { text_ += line + kCrLf; }
  void Key(const char* key, const std::string& value) { Add(std::string(key) + "=" + value); }
  void Separator() { Add(" "); }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace

StartupFileLayout ChooseLayout(const VMDSInstanceClass& record, bool createflag) {
  if (createflag) return StartupFileLayout::kNewInstance;
  return record.mMasterInstance ? StartupFileLayout::kMaster : StartupFileLayout::kInstance;
}

std::string StartupFileText(const ManagerState& state, const VMDSInstanceClass& record,
                            StartupFileLayout layout) {
  const std::string product = kProductName;
  Lines out;
  const bool master = layout == StartupFileLayout::kMaster;
  const bool fresh = layout == StartupFileLayout::kNewInstance;
  // A new instance's file holds the default line and session settings, whatever the record says.
  VMDSInstanceClass r = record;
  if (fresh) {
    ApplyInstanceDefaults(r);
    r.mAllowedClients.clear();
    r.mListenAddress.clear();
    r.mRemotePortControl = false;
    r.mTLSCertificate.clear();
    r.mTLSKey.clear();
    r.mTLSClientCA.clear();
  }
  std::string logFile = Trim(r.mLogFileName);
  if (logFile.empty() && !fresh) logFile = ".\\vmds.log";
  const std::string stopBits = StopBitsToken(r.mCOMPortStopBits);

  if (master) {
    out.Add("[Daltrimore " + product + " - Master]");
    out.Separator();
    out.Add(kMasterComment);
    out.Key("FirstTimeRun", state.FirstTimeRun ? "True" : "False");
    out.Key("InstallDir", Trim(r.mInstallDir));
    out.Add("MasterInstance=True");
    out.Key("NumberofInstancesInstalled", std::to_string(state.NumberofInstancesInstalled));
    out.Key("InstanceNamesList", Trim(state.InstanceNamesList));
  } else {
    out.Add("[Daltrimore " + product + " - Instance - " + Trim(r.mInstanceName) + "]");
    out.Separator();
    out.Add(kInstanceComment);
    out.Key("InstallDir", Trim(r.mInstallDir));
    out.Add("MasterInstance=False");
  }
  out.Key("InstanceName", Trim(r.mInstanceName));
  out.Key("ServiceName", Trim(r.mServiceName));
  out.Key("ServiceDisplayName", Trim(r.mServiceDisplayName));
  out.Separator();
  out.Separator();
  out.Key("DebugEnabled", YesNo(r.mDebugEnabled));
  out.Key("LogFilename", logFile);
  out.Key("TCPPort", std::to_string(r.mTCPPort));
  out.Key("COMPort", Trim(r.mCOMPort));
  out.Key("COMPortBitRate", std::to_string(r.mCOMPortBitRate));
  out.Key("COMPortDataBits", std::to_string(r.mCOMPortDataBits));
  out.Key("COMPortParity", Trim(r.mCOMPortParity));
  if (!stopBits.empty()) out.Key("COMPortStopBits", stopBits);
  out.Key("DropDTRonSocketClose", YesNo(r.mDropDTRonSocketClose));
  out.Key("DropRTSonSocketClose", YesNo(r.mDropRTSonSocketClose));
  out.Key("MaxConnectTime", std::to_string(r.mMaxConnectTime));
  out.Key("IdleTimeout", std::to_string(r.mIdleTimeout));
  if (master) out.Key("UserManualFilename", Trim(state.UserManualFilename));
  // Written only when set: an instance that uses neither keeps the file it always had.
  if (!Trim(r.mAllowedClients).empty()) out.Key("AllowedClients", Trim(r.mAllowedClients));
  if (!Trim(r.mListenAddress).empty()) out.Key("ListenAddress", Trim(r.mListenAddress));
  if (r.mRemotePortControl) out.Key(kProtocolKey, "RFC2217");
  // The same for encryption: an instance without TLS keeps the file it always had.
  if (!Trim(r.mTLSCertificate).empty()) out.Key("TLSCertificate", Trim(r.mTLSCertificate));
  if (!Trim(r.mTLSKey).empty()) out.Key("TLSKey", Trim(r.mTLSKey));
  if (!Trim(r.mTLSClientCA).empty()) out.Key("TLSClientCA", Trim(r.mTLSClientCA));
  for (const std::string& line : r.mOtherLines) out.Add(line);
  return out.Text();
}

std::string WriteFailureMessage(const std::string& path_filename, int number) {
  std::string text;
  switch (number) {
    case kErrBadFileNameOrNumber: case kErrBadFileName: text = "- illegal filename."; break;
    case kErrBadFileMode: text = "- access denied."; break;
    case kErrDeviceIO: text = "- internal disk error."; break;
    case kErrDiskFull: text = "- disk is full."; break;
    case kErrInputPastEnd: text = "- file is corrupt."; break;
    case kErrDeviceUnavailable: text = "- device unavailable."; break;
    case kErrPermissionDenied: text = "- file already in use."; break;
    case kErrDiskNotReady: text = "- drive not ready."; break;
    case kErrPathFileAccess: text = "- file is read-only."; break;
    case kErrPathNotFound: text = "- path does not exist."; break;
    default: text = "- Error number: " + std::to_string(number) + "."; break;
  }
  return "Cannot open file for write: " + path_filename + " " + text;
}

std::string ReadFailureMessage(const std::string& path, int number) {
  std::string text;
  switch (number) {
    case kErrBadFileNameOrNumber: case kErrBadFileName: text = "illegal filename"; break;
    case kErrFileNotFound: text = "file not found"; break;
    case kErrBadFileMode: text = "access denied"; break;
    case kErrFileAlreadyOpen: text = "already in use"; break;
    case kErrDeviceIO: text = "internal disk error"; break;
    case kErrDiskFull: text = "disk is full"; break;
    case kErrInputPastEnd: text = "file is corrupt"; break;
    case kErrDeviceUnavailable: text = "device unavailable"; break;
    case kErrDiskNotReady: text = "drive not ready"; break;
    case kErrPathNotFound: text = "path does not exist"; break;
    default:
      text = "Error " + std::to_string(number) + ", " + RunTimeErrorDescription(number) + ".";
      break;
  }
  return "Cannot open for read, " + path + ", " + text;
}

bool WriteStartupFile(const ManagerState& state, FileSystem& fs, MessageView& view,
                      const std::string& path_filename, bool createflag,
                      std::int16_t instance_index) {
  int number = 0;
  try {
    const VMDSInstanceClass& record = state.Instances.Item(instance_index);
    std::string text = StartupFileText(state, record, ChooseLayout(record, createflag));
    number = RunTimeErrorFromWin32(fs.WriteTextFile(path_filename, text));
  } catch (const RunTimeFailure& failure) {
    number = failure.Number();
  }
  if (number != 0)
    view.ShowMessage(WriteFailureMessage(path_filename, number), MessageIcon::kExclamation,
                     MessageButtons::kOk);
  return number == 0;
}

void SetRemotePortControl(VMDSInstanceClass& record, bool on) {
  record.mRemotePortControl = on;
  if (!on) return;
  std::vector<std::string>& lines = record.mOtherLines;
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return KeyOf(line) == kProtocolKey; }),
              lines.end());
  // The kept lines neither start nor end with a blank line, as the reader leaves them.
  auto blank = [](const std::string& line) {
    return line.find_first_not_of(" \t") == std::string::npos;
  };
  while (!lines.empty() && blank(lines.back())) lines.pop_back();
  lines.erase(lines.begin(), std::find_if_not(lines.begin(), lines.end(), blank));
}

std::vector<std::string> SplitLines(const std::string& content) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < content.size(); ++i) {
    char c = content[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

namespace {

// One key of the reader: what it does in the master file and in an instance file.
using Apply = std::function<void(ManagerState&, VMDSInstanceClass&, const std::string&)>;
struct KeyRule {
  Apply master;
  Apply instance;  // empty: ignored in instance files
};

const std::map<std::string, KeyRule>& KeyRules() {
  static const std::map<std::string, KeyRule> rules = [] {
    std::map<std::string, KeyRule> m;
    auto same = [&m](const char* key, Apply apply) { m[key] = KeyRule{apply, apply}; };
    m["FirstTimeRun"] = {[](ManagerState& s, VMDSInstanceClass&, const std::string& v) {
                           s.FirstTimeRun = ReadBoolean(v);
                         }, nullptr};
    m["InstallDir"] = {[](ManagerState& s, VMDSInstanceClass& r, const std::string& v) {
                         s.InstallDir = Trim(v);
                         r.mInstallDir = Trim(v);
                       },
                       [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
                         r.mInstallDir = Trim(v);
                       }};
    same("MasterInstance", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mMasterInstance = ReadBoolean(v);
    });
    m["NumberofInstancesInstalled"] = {
        [](ManagerState& s, VMDSInstanceClass&, const std::string& v) {
          s.NumberofInstancesInstalled = ReadNumber16(v);
        }, nullptr};
    m["InstanceNamesList"] = {[](ManagerState& s, VMDSInstanceClass&, const std::string& v) {
                                s.InstanceNamesList = Trim(v);
                              }, nullptr};
    m["InstanceName"] = {[](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
                           r.mInstanceName = Trim(v);
                         }, nullptr};
    same("ServiceName", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mServiceName = Trim(v);
    });
    same("ServiceDisplayName", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mServiceDisplayName = Trim(v);
    });
    same("DebugEnabled", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mDebugEnabled = ReadYes(v);
    });
    same("LogFilename", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mLogFileName = Trim(v);
    });
    same("TCPPort", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mTCPPort = ReadNumber32(v);
    });
    same("COMPort", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mCOMPort = Trim(v);
    });
    same("COMPortBitRate", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mCOMPortBitRate = ReadNumber32(v);
    });
    same("COMPortDataBits", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mCOMPortDataBits = ReadNumber16(v);
    });
    same("COMPortParity", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mCOMPortParity = Trim(v);
    });
    same("COMPortStopBits", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      if (std::optional<float> stopBits = StopBitsOfToken(Trim(v))) r.mCOMPortStopBits = *stopBits;
    });
    same("DropDTRonSocketClose", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mDropDTRonSocketClose = ReadYes(v);
    });
    same("DropRTSonSocketClose", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mDropRTSonSocketClose = ReadYes(v);
    });
    same("MaxConnectTime", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mMaxConnectTime = ReadNumber32(v);
    });
    same("IdleTimeout", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mIdleTimeout = ReadNumber32(v);
    });
    same("AllowedClients", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mAllowedClients = Trim(v);
    });
    same("ListenAddress", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mListenAddress = Trim(v);
    });
    same(kProtocolKey, [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mRemotePortControl = RemotePortControlOf(v).value_or(false);
    });
    same("TLSCertificate", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mTLSCertificate = Trim(v);
    });
    same("TLSKey", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mTLSKey = Trim(v);
    });
    same("TLSClientCA", [](ManagerState&, VMDSInstanceClass& r, const std::string& v) {
      r.mTLSClientCA = Trim(v);
    });
    m["UserManualFilename"] = {[](ManagerState& s, VMDSInstanceClass&, const std::string& v) {
                                 s.UserManualFilename = Trim(v);
                               }, nullptr};
    return m;
  }();
  return rules;
}

// Keys only the master file holds; in an instance file they belong to whoever wrote them.
bool MasterOnlyKey(const std::string& key) {
  return key == "FirstTimeRun" || key == "NumberofInstancesInstalled" ||
         key == "InstanceNamesList" || key == "UserManualFilename";
}

bool BlankLine(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

bool SectionLine(const std::string& line) {
  const std::string text = Trim(line);
  return text.size() >= 2 && text.front() == '[' && text.back() == ']';
}

// Reads one file into `record`; raises a RunTimeFailure on any failure. The lines the manager
// writes itself are its own: the section line that heads the file (before any of its keys), its
// "DO NOT CHANGE" comments, blank lines and the keys of its layout. Every other line goes to
// record.mOtherLines in its order, with the blank lines between two of them; blank lines next to
// the manager's own lines are layout and are left out, so a rewrite does not add to them.
// The Protocol lines are the manager's only when it knows every value they hold: one value it
// does not know (another protocol, a misspelling) leaves them all as they are, in their places,
// and the record says Raw; a rewrite then keeps what the file meant.
void ReadOneFile(ManagerState& state, FileSystem& fs, const std::string& path, bool masterFile,
                 VMDSInstanceClass& record) {
  std::string content;
  if (int number = RunTimeErrorFromWin32(fs.ReadTextFile(path, &content)))
    throw RunTimeFailure(number);
  const std::vector<std::string> lines = SplitLines(content);
  const bool foreignProtocol = std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return KeyOf(l) == kProtocolKey && !RemotePortControlOf(l.substr(l.find('=') + 1));
  });
  bool headed = false;      // the heading section line or a key line has been seen
  bool lastOther = false;   // the last line that is not blank went to mOtherLines
  std::vector<std::string> blanks;
  for (const std::string& line : lines) {
    if (BlankLine(line)) {
      if (lastOther) blanks.push_back(line);
      continue;
    }
    bool own = false;
    const std::string trimmed = Trim(line);
    if (!headed && SectionLine(line)) {
      own = true;
      headed = true;
    } else if (trimmed == kMasterComment || trimmed == kInstanceComment) {
      own = true;
    } else if (std::size_t eq = line.find('='); eq != std::string::npos) {
      const std::string key = line.substr(0, eq);
      auto rule = KeyRules().find(key);
      if (rule != KeyRules().end() && (masterFile || !MasterOnlyKey(key)) &&
          !(foreignProtocol && key == kProtocolKey)) {
        own = true;
        headed = true;
        const Apply& apply = masterFile ? rule->second.master : rule->second.instance;
        if (apply) apply(state, record, line.substr(eq + 1));
      }
    }
    if (own) {
      blanks.clear();
      lastOther = false;
      continue;
    }
    record.mOtherLines.insert(record.mOtherLines.end(), blanks.begin(), blanks.end());
    blanks.clear();
    record.mOtherLines.push_back(line);
    lastOther = true;
  }
}

// The name cursor over InstanceNamesList.
std::string NextInstanceName(const std::string& list, std::size_t& cursor) {
  std::size_t percent = list.find('%', cursor);
  std::string name;
  if (percent == std::string::npos) {
    name = cursor <= list.size() ? list.substr(cursor) : "";
    cursor = 0;
  } else {
    name = list.substr(cursor, percent - cursor);
    cursor = percent + 1;
  }
  return name;
}

}  // namespace

bool ReadStartupFiles(ManagerState& state, FileSystem& fs, MessageView& view,
                      const std::string& masterPath) {
  std::string path = masterPath;
  try {
    VMDSInstanceClass master;
    ReadOneFile(state, fs, path, true, master);
    state.Instances.Add(master);
    const VMDSInstanceClass& item1 = state.Instances.Item(1);
    if (!(item1.mMasterInstance && item1.mInstanceName == kMasterInstanceName)) return true;
    view.AddInstanceListRow(MakeInstanceListRow(item1));

    std::size_t slash = masterPath.rfind('\\');
    std::string managerDir = slash == std::string::npos ? "." : masterPath.substr(0, slash);
    std::size_t cursor = 0;
    for (int i = 1; i <= state.NumberofInstancesInstalled; ++i) {
      VMDSInstanceClass record;
      record.mInstanceName = NextInstanceName(state.InstanceNamesList, cursor);
      path = managerDir + "\\" + record.mInstanceName + "\\" + state.StartupFileName;
      // A hand-edited name that cannot name a directory of its own would read another
      // instance's file, the manager's own or one outside: "..", "a\\b", or "Dock." and
      // "Dock " (Windows drops trailing dots and blanks, so they name Dock).
      if (!IsInstanceDirectoryName(record.mInstanceName)) throw RunTimeFailure(kErrBadFileName);
      ReadOneFile(state, fs, path, false, record);
      state.Instances.Add(record);
      view.AddInstanceListRow(MakeInstanceListRow(record));
    }
  } catch (const RunTimeFailure& failure) {
    view.ShowMessage(ReadFailureMessage(path, failure.Number()), MessageIcon::kCritical,
                     MessageButtons::kOk);
    return false;
  }
  return true;
}
