// The presenter over a scripted main window, service database and file system: a master with
// three instances on disk ("Lab 1", "Dock", "bay"), helpers that act as the user and read the
// editor back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>

#include "fake_main_view.h"
#include "instance_names.h"
#include "main_presenter.h"
#include "service_control.h"
#include "startup_file.h"

// Each test file gets its own copy of these helpers.
namespace {

using enum Control;

using Strings = std::vector<std::string>;
using Answer = MessageAnswer;

const std::string kDir = "C:\\Program Files\\VMDS";
const std::string kMasterFile = kDir + "\\vmds.ini";
std::string InstanceFile(const std::string& name) { return kDir + "\\" + name + "\\vmds.ini"; }

const std::string kAborted = " Operation was aborted.";
const std::string kRange = "The TCP Port Number must be between 1 and 65535. Change the TCP Port "
                           "Number and click on Create Instance." + kAborted;
const std::string kParity = "Parity must be set to None if 8 data bits are needed. Make necessary "
                            "changes and click on Save." + kAborted;
const std::string kStop =
    "Stop bits must be set to 1 to use 8 data bits. Make necessary changes and click on Save." +
    kAborted;
const std::string kConn =
    "Please enter a positive integer in the Maximum Connection Time field." + kAborted;
const std::string kIdle = "Please enter a positive integer in the Maximum Idle Time field." + kAborted;
const std::string kLog =
    "Invalid file path for log file. Please change the log file location." + kAborted;
const std::string kLabQuestion =
    "The settings for instance, \"Lab 1\" have been changed. Do you want to save the changes?";
[[maybe_unused]] std::string TcpInUse(const std::string& port, const std::string& by) {
  return "TCP port " + port + " is already in use by " + by +
         ". Change the TCP Port Number and click on Save." + kAborted;
}
[[maybe_unused]] std::string SerialInUse(const std::string& port, const std::string& by) {
  return port + " is already in use by " + by + ". Change the Serial Port and click on Save." +
         kAborted;
}

// Startup-file text: a header, a separator line, then the "|"-separated key=value items.
std::string Ini(const std::string& header, const std::string& items) {
  std::string text = header + "\r\n \r\n";
  std::stringstream in(items);
  for (std::string item; std::getline(in, item, '|');) text += item + "\r\n";
  return text;
}
std::string InstanceIni(const std::string& name, const std::string& settings) {
  return Ini("[" + name + "]", "InstallDir=" + kDir + "\\" + name + "|MasterInstance=False|" +
                                   "ServiceName=" + ServiceNameOf(name) + "|ServiceDisplayName=" +
                                   ServiceDisplayNameOf(name) + "|" + settings);
}

// Scripts what a registered service does and the answer to the stop control.
class ScriptedServices : public FakeServiceDatabase {
 public:
  std::map<std::string, std::deque<std::uint32_t>> statesAfterCreate;
  int stopError = 0;
  int CreateServiceEntry(ScHandle manager, const ServiceRegistration& r, ScHandle* service) override {
    int error = FakeServiceDatabase::CreateServiceEntry(manager, r, service);
    if (error == 0 && statesAfterCreate.count(r.ServiceName))
      services[r.ServiceName].states = statesAfterCreate[r.ServiceName];
    return error;
  }
  int SendStopControl(ScHandle service) override {
    FakeServiceDatabase::SendStopControl(service);
    return stopError;
  }
};

// Keeps every write, and notes it, the access lists set and the copies among the service calls
// so that the order of all shows.
class JournalFiles : public FakeFileSystem {
 public:
  std::vector<std::string>* journal = nullptr;
  std::vector<std::string> writes;  // the content of each write
  int WriteTextFile(const std::string& path, const std::string& content) override {
    writes.push_back(content);
    journal->push_back("Write " + path);
    return FakeFileSystem::WriteTextFile(path, content);
  }
  int RestrictDirectoryAccess(const std::string& path) override {
    journal->push_back("Restrict " + path);
    return FakeFileSystem::RestrictDirectoryAccess(path);
  }
  int CopyOneFile(const std::string& from, const std::string& to) override {
    journal->push_back("Copy " + to);
    return FakeFileSystem::CopyOneFile(from, to);
  }
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A master with three instances on disk, every service running.
struct Rig {
  FakeMainView view;
  ScriptedServices services;
  JournalFiles files;
  FakeSystemInfo system;
  FakeShell shell;
  FakeSerialPorts ports;
  MainPresenter presenter{view, services, files, system, shell, ports, kDir};

  Rig() {
    files.journal = &services.calls;
    files.files[kMasterFile] =
        Ini("[Master]", "FirstTimeRun=False|InstallDir=" + kDir + "|MasterInstance=True|"
                        "NumberofInstancesInstalled=3|InstanceNamesList=Lab 1%Dock%bay|"
                        "InstanceName=Master|ServiceName=Daltrimore_VMDS_Mstr|"
                        "ServiceDisplayName=Daltrimore VMDS Mstr|LogFilename=" + kDir +
                        "\\vmds.log|TCPPort=6100|COMPort=COM1|COMPortBitRate=9600|"
                        "COMPortDataBits=8|COMPortParity=NOPARITY|COMPortStopBits=ONESTOPBIT|"
                        "DropDTRonSocketClose=Yes|MaxConnectTime=3600|IdleTimeout=120");
    files.files[InstanceFile("Lab 1")] = InstanceIni(
        "Lab 1", "DebugEnabled=Yes|LogFilename=.\\vmds.log|TCPPort=10001|COMPort=COM12|"
                 "COMPortBitRate=19200|COMPortDataBits=7|COMPortParity=EVENPARITY|"
                 "COMPortStopBits=ONE5STOPBITS|DropRTSonSocketClose=Yes|IdleTimeout=60");
    files.files[InstanceFile("Dock")] = InstanceIni(
        "Dock", "LogFilename=.\\vmds.log|TCPPort=2000|COMPort=COM3|COMPortBitRate=57600|"
                "COMPortDataBits=8|COMPortParity=NOPARITY|COMPortStopBits=ONESTOPBIT|"
                "IdleTimeout=120");
    // Shares COM1 with the master; a parity token outside the five and no stop bits.
    files.files[InstanceFile("bay")] = InstanceIni(
        "bay", "LogFilename=.\\vmds.log|TCPPort=7000|COMPort=COM1|COMPortBitRate=9600|"
               "COMPortDataBits=7|COMPortParity=WEIRDPARITY|IdleTimeout=120");
    for (const char* service : {"Daltrimore_VMDS_Mstr", "Daltrimore_VMDS_Lab_1",
                                "Daltrimore_VMDS_Dock", "Daltrimore_VMDS_bay"})
      services.services[service].states = {kServiceRunning, kServiceStopped, kServiceRunning};
  }
  // Start-up without any message; the journals are empty afterwards.
  void Start() {
    ASSERT_TRUE(presenter.FormLoad());
    ASSERT_EQ(Messages(), Strings{});
    files.writes.clear();
    services.calls.clear();
    view.progress.clear();
  }
  // The message texts since the last call. Every box has the exclamation icon; questions about
  // unsaved settings have Yes, No and Cancel, the one before a removal Yes and No, every other box
  // OK.
  Strings Messages() {
    Strings texts;
    for (const ShownMessage& m : view.messages) {
      texts.push_back(m.text);
      EXPECT_EQ(m.icon, MessageIcon::kExclamation) << m.text;
      auto starts = [&](const char* head) { return m.text.rfind(head, 0) == 0; };
      const bool question = starts("The settings for instance, ") ||
                            starts("Would you like to save the settings for the new instance");
      EXPECT_EQ(m.buttons, question ? MessageButtons::kYesNoCancel
                           : starts("Would you like to remove") || starts("A client")
                               ? MessageButtons::kYesNo
                                                                : MessageButtons::kOk)
          << m.text;
    }
    view.messages.clear();
    return texts;
  }
  // What the user does: each raises the control's notification as the window would.
  void Type(Control box, const std::string& text) {
    view[box].text = text;
    presenter.EditorChanged(box);
  }
  void Pick(Control combo, const std::string& entry) {
    const Strings& entries = view[combo].entries;
    auto at = std::find(entries.begin(), entries.end(), entry);
    ASSERT_NE(at, entries.end()) << entry;
    view[combo].selection = static_cast<int>(at - entries.begin());
    presenter.EditorChanged(combo);
  }
  void Click(Control box) {
    view[box].checked = !view[box].checked;
    presenter.EditorChanged(box);
  }
  void ClickRow(int position) {
    view.selectedRow = position;
    presenter.ItemClick(position);
  }
  // Text boxes are typed into, drop-down lists picked from.
  void Edit(Control control, const std::string& value) {
    if (view[control].entries.empty()) Type(control, value);
    else Pick(control, value);
  }
  const VMDSInstanceClass& Record(int index) { return presenter.State().Instances.Item(index); }
  std::string Progress() { return view[ProgressLabel].text; }
  std::size_t Count(const std::string& call) {
    return std::count(services.calls.begin(), services.calls.end(), call);
  }
  // The editor in the order of the record's fields; check boxes as "on" or "off".
  Strings Editor() {
    auto box = [this](Control c) { return std::string(view[c].checked ? "on" : "off"); };
    return {view[TCPPortNumberTextBox].text, view.Shown(SerialPortComboBox),
            view.Shown(BitRateComboBox),     view.Shown(DataBitsComboBox),
            view.Shown(ParityComboBox),      view.Shown(StopBitsComboBox),
            view[MaxConnTimeTextBox].text,   view[MaxIdleTimeTextBox].text,
            box(DropDTRCheckBox),            box(DropRTSCheckBox),
            view[BrowseLogFileTextBox].text, box(EnableDebugModeCheckBox)};
  }
  Strings RowNames() {
    Strings names;
    for (const InstanceListRow& row : view.rows) names.push_back(row.InstanceName);
    return names;
  }
};

}  // namespace
