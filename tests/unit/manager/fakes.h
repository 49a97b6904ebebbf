// Fakes of the manager's seams: a view that records messages and rows, an in-memory file system
// and a scripted service database whose Sleep only records the wait.
#pragma once

#include <cctype>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "file_system.h"
#include "service_database.h"
#include "view.h"

struct ShownMessage {
  std::string text;
  MessageIcon icon;
  MessageButtons buttons;
};

class FakeView : public MessageView {
 public:
  std::vector<ShownMessage> messages;
  std::vector<InstanceListRow> rows;
  MessageAnswer answer = MessageAnswer::kOk;
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override {
    messages.push_back({text, icon, buttons});
    return answer;
  }
  void AddInstanceListRow(const InstanceListRow& row) override { rows.push_back(row); }
};

class FakeFileSystem : public FileSystem {
 public:
  std::map<std::string, std::string> files;
  std::map<std::string, int> errors;  // path -> Win32 error of any operation on it
  std::vector<std::string> deletedTrees;
  std::set<std::string> directories;  // made or given; MakeDirectory of one that exists fails
  std::vector<std::string> moves;
  std::vector<std::string> restricted;  // directories given their own access list
  std::map<std::string, int> restrictErrors;  // path -> Win32 error of RestrictDirectoryAccess

  std::map<std::string, int> reads;  // path -> how often it was read
  int ReadTextFile(const std::string& path, std::string* content) override {
    ++reads[path];
    if (errors.count(path)) return errors[path];
    auto file = files.find(path);
    if (file == files.end()) return 2;
    *content = file->second;
    return 0;
  }
  int WriteTextFile(const std::string& path, const std::string& content) override {
    if (errors.count(path)) return errors[path];
    files[path] = content;
    return 0;
  }
  int MakeDirectory(const std::string& path) override {
    if (errors.count(path)) return errors[path];
    return directories.insert(path).second ? 0 : 183;
  }
  int RestrictDirectoryAccess(const std::string& path) override {
    if (restrictErrors.count(path)) return restrictErrors[path];
    if (!directories.count(path)) return 3;
    restricted.push_back(path);
    return 0;
  }
  int CopyOneFile(const std::string&, const std::string& to) override {
    return errors.count(to) ? errors[to] : 0;
  }
  int DeleteDirectoryTree(const std::string& path) override {
    if (errors.count(path)) return errors[path];
    deletedTrees.push_back(path);
    directories.erase(path);
    return 0;
  }
  int MoveDirectory(const std::string& from, const std::string& to) override {
    if (errors.count(from)) return errors[from];
    if (!directories.count(from)) return 3;
    moves.push_back(from + " -> " + to);
    directories.erase(from);
    directories.insert(to);
    return 0;
  }
  int DeleteOneFile(const std::string& path) override {
    return files.erase(path) ? 0 : 2;
  }
  bool DirectoryExists(const std::string& path) override { return directories.count(path) > 0; }
  bool FileExists(const std::string& path) override { return files.count(path) > 0; }
  // The content's hash and size: another content has another stamp.
  int StampOf(const std::string& path, FileStamp* stamp) override {
    if (errors.count(path)) return errors[path];
    auto file = files.find(path);
    if (file == files.end()) return 2;
    *stamp = {std::hash<std::string>{}(file->second), file->second.size()};
    return 0;
  }
};

// Each service answers its queries from `states` front to back, then keeps the last state.
struct FakeService {
  std::deque<std::uint32_t> states{kServiceStopped};
  int startError = 0;
  int stopError = 0;
  int deleteError = 0;
};

class FakeServiceDatabase : public ServiceDatabase {
 public:
  std::map<std::string, FakeService> services;
  std::vector<std::string> calls;  // every call in order
  std::vector<ServiceRegistration> registrations;
  std::map<std::string, std::string> descriptions;
  int openManagerError = 0;
  int openServiceError = 0;  // for a service that exists
  int recoveryError = 0;
  int openHandles = 0;
  // The event sources written: message file and supported types, by source name. Not in
  // `calls`: the registry is no part of the service database's sequence.
  std::map<std::string, std::pair<std::string, std::uint32_t>> eventSources;
  int eventSourceError = 0;

  static std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
  }
  int OpenServiceManager(std::uint32_t access, ScHandle* manager) override {
    calls.push_back("OpenSCManager " + Hex(access));
    if (openManagerError) return openManagerError;
    ++openHandles;
    *manager = kManagerHandle;
    return 0;
  }
  int CreateServiceEntry(ScHandle, const ServiceRegistration& r, ScHandle* service) override {
    calls.push_back("CreateService " + r.ServiceName);
    if (services.count(r.ServiceName)) return kErrorServiceExists;
    registrations.push_back(r);
    services[r.ServiceName] = FakeService{};
    return Open(r.ServiceName, service);
  }
  int SetServiceDescription(ScHandle service, const std::string& description) override {
    calls.push_back("Description " + names_[service]);
    descriptions[names_[service]] = description;
    return 0;
  }
  int SetRecoveryActions(ScHandle service, const RecoveryActions& actions) override {
    calls.push_back("Recovery " + names_[service] + " " + std::to_string(actions.ResetPeriodSeconds) +
                    " " + std::to_string(actions.RestartDelayMilliseconds) +
                    (actions.ApplyToNonZeroExit ? " non-zero-exit" : ""));
    return recoveryError;
  }
  int OpenServiceEntry(ScHandle, const std::string& name, std::uint32_t access,
                       ScHandle* service) override {
    calls.push_back("OpenService " + name + " " + Hex(access));
    if (!services.count(name)) return kErrorServiceDoesNotExist;
    if (openServiceError) return openServiceError;
    return Open(name, service);
  }
  int StartServiceEntry(ScHandle service) override {
    calls.push_back("Start " + names_[service]);
    return services[names_[service]].startError;
  }
  int SendStopControl(ScHandle service) override {
    calls.push_back("Stop " + names_[service]);
    return services[names_[service]].stopError;
  }
  int QueryServiceState(ScHandle service, std::uint32_t* state) override {
    FakeService& s = services[names_[service]];
    *state = s.states.front();
    if (s.states.size() > 1) s.states.pop_front();
    calls.push_back("Query " + names_[service] + "=" + std::to_string(*state));
    return 0;
  }
  int enumerateError = 0;
  // Every service's state as a query would give it.
  int EnumerateServiceStates(ScHandle, std::map<std::string, std::uint32_t>* states) override {
    calls.push_back("Enumerate");
    if (enumerateError) return enumerateError;
    for (auto& [name, s] : services) {
      std::string upper = name;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      (*states)[upper] = s.states.front();
      if (s.states.size() > 1) s.states.pop_front();
    }
    return 0;
  }
  int WriteEventSource(const std::string& source, const std::string& messageFile,
                       std::uint32_t typesSupported) override {
    if (eventSourceError) return eventSourceError;
    eventSources[source] = {messageFile, typesSupported};
    return 0;
  }
  int DeleteServiceEntry(ScHandle service) override {
    calls.push_back("Delete " + names_[service]);
    return services[names_[service]].deleteError;
  }
  void CloseServiceEntry(ScHandle handle) override {
    calls.push_back(handle == kManagerHandle ? "Close SCM" : "Close " + names_[handle]);
    --openHandles;
  }
  void Sleep(std::uint32_t milliseconds) override {
    calls.push_back("Sleep " + std::to_string(milliseconds));
    if (onSleep) onSleep();
  }
  std::function<void()> onSleep;  // what changes while the caller waits
  std::string ErrorText(int error) override { return "<error " + std::to_string(error) + ">"; }

 private:
  static constexpr ScHandle kManagerHandle = 1;
  int Open(const std::string& name, ScHandle* service) {
    ++openHandles;
    *service = nextHandle_++;
    names_[*service] = name;
    return 0;
  }
  ScHandle nextHandle_ = 100;
  std::map<ScHandle, std::string> names_;
};
