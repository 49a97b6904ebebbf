// What the manager's portable logic needs of its main window. The Win32 window implements it
// with real controls and message boxes later; tests implement it with a fake that records every
// message and answers the questions.
#pragma once

#include <string>

// The product name: the main window's caption and the title of every message box.
inline constexpr const char* kProductName = "Velmora Device Server - Instance Manager";

enum class MessageIcon { kExclamation, kCritical, kQuestion, kInformation };
enum class MessageButtons { kOk, kYesNo, kYesNoCancel };
enum class MessageAnswer { kOk, kYes, kNo, kCancel };

// One row of the instance list: the row text is the instance name.
struct InstanceListRow {
  std::string InstanceName;
  std::string TCPPort;     // decimal digits
  std::string SerialPort;  // "COM" + the port number right-aligned in three
  bool operator==(const InstanceListRow&) const = default;
};

class View {
 public:
  virtual ~View() = default;
  // A modal message box titled kProductName; returns the button the user chose.
  virtual MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                                    MessageButtons buttons) = 0;
  // Appends a row to the instance list.
  virtual void AddInstanceListRow(const InstanceListRow& row) = 0;
};
