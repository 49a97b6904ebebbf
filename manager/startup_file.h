// The startup file vmds.ini, written and read by the manager.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_system.h"
#include "instance_list.h"
#include "view.h"

enum class StartupFileLayout { kMaster, kInstance, kNewInstance };

// The layout WriteStartupFile chooses: new-instance when createflag, else master when the record
// is the master, else instance.
StartupFileLayout ChooseLayout(const VMDSInstanceClass& record, bool createflag);

// The file's text in `layout`, every line ended by CR LF.
std::string StartupFileText(const ManagerState& state, const VMDSInstanceClass& record,
                            StartupFileLayout layout);

// Writes the record at `instance_index` (1-based) of state.Instances to `path_filename`. Any
// failure is shown in a message box (exclamation icon) and WriteStartupFile returns normally,
// with false; true when the file was written.
bool WriteStartupFile(const ManagerState& state, FileSystem& fs, MessageView& view,
                      const std::string& path_filename, bool createflag,
                      std::int16_t instance_index);

// Sets whether the record's clients control the port (Protocol=RFC2217) or send raw bytes. Set
// on, the record's own Protocol line replaces the Protocol lines it kept from its file (values the
// manager does not know); set off, those stay as they are.
void SetRemotePortControl(VMDSInstanceClass& record, bool on);

// The write-failure message box text for a run-time failure number.
std::string WriteFailureMessage(const std::string& path_filename, int number);
// The read-failure message box text for a run-time failure number.
std::string ReadFailureMessage(const std::string& path, int number);

// Reads the master file at `masterPath`, then every listed instance's file from the directory
// of `masterPath` + "\" + name + "\" + StartupFileName; fills the master settings and
// state.Instances and adds the instance list rows to the view. On any failure it shows the
// read-failure message (critical icon) and returns false: the caller then ends the manager at
// once. Returns true otherwise, also when item 1 is not a proper master (then nothing but the
// master record is loaded). A listed name that cannot name a directory of its own inside the
// manager's directory (IsInstanceDirectoryName: empty, dots and blanks only, a trailing dot or
// blank, a path separator, a drive colon, a wildcard or a control character) is a read failure
// "illegal filename" for the path it would give, before anything is read.
bool ReadStartupFiles(ManagerState& state, FileSystem& fs, MessageView& view,
                      const std::string& masterPath);

// Splits file content into lines as the reader sees them: a line ends at CR LF, CR or LF; a last
// line without an end counts too.
std::vector<std::string> SplitLines(const std::string& content);
