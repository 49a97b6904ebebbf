// Fakes of the removal tool's seams: a scripted service database whose clock moves with Sleep,
// and a host that collects the console output and message boxes.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "service_database.h"

// Each service answers its queries from `states` front to back, then keeps the last state;
// a stop control turns a service without a script into stopped at once.
struct FakeService {
  std::deque<std::uint32_t> states{kServiceStopped};
  int openError = 0;
  int deleteError = 0;
  int queryErrorAfter = -1;  // queries that succeed before the query fails; -1 never
};

class FakeServiceDatabase : public ServiceDatabase {
 public:
  std::map<std::string, FakeService> services;
  std::vector<std::string> calls;
  int openManagerError = 0;
  std::int64_t now = 1000;
  int openHandles = 0;

  int OpenServiceManager(std::uint32_t access, ScHandle* manager) override {
    calls.push_back("OpenSCManager " + std::to_string(access));
    if (openManagerError) return openManagerError;
    ++openHandles;
    *manager = 1;
    return 0;
  }
  int OpenServiceEntry(ScHandle, const std::string& name, std::uint32_t access,
                       ScHandle* service) override {
    calls.push_back("Open " + name + (access == kServiceAllAccess ? "" : " wrong access"));
    auto s = services.find(name);
    if (s == services.end()) return 1060;
    if (s->second.openError) return s->second.openError;
    ++openHandles;
    *service = 100 + handles_.size();
    handles_.push_back(name);
    return 0;
  }
  int QueryServiceState(ScHandle service, std::uint32_t* state) override {
    FakeService& s = Of(service);
    if (s.queryErrorAfter == 0) return 6;
    if (s.queryErrorAfter > 0) --s.queryErrorAfter;
    *state = s.states.front();
    if (s.states.size() > 1) s.states.pop_front();
    return 0;
  }
  int SendStopControl(ScHandle service) override {
    calls.push_back("Stop " + NameOf(service));
    return 0;
  }
  int DeleteServiceEntry(ScHandle service) override {
    calls.push_back("Delete " + NameOf(service));
    return Of(service).deleteError;
  }
  void CloseServiceEntry(ScHandle handle) override {
    calls.push_back(handle == 1 ? "Close SCM" : "Close " + NameOf(handle));
    --openHandles;
  }
  void Sleep(std::uint32_t milliseconds) override { now += milliseconds / 1000; }
  std::int64_t NowSeconds() override { return now; }

 private:
  std::string NameOf(ScHandle service) const { return handles_.at(service - 100); }
  FakeService& Of(ScHandle service) { return services[NameOf(service)]; }
  std::vector<std::string> handles_;
};

class FakeToolHost : public ToolHost {
 public:
  std::string programPath = "C:\\VMDS\\vmdsremove.exe";
  int programPathError = 0;
  std::map<std::string, std::string> files;
  std::string out;
  std::vector<std::string> messageBoxes;

  int GetProgramPath(std::string* path) override {
    *path = programPath;
    return programPathError;
  }
  int ReadWholeFile(const std::string& path, std::string* content) override {
    auto file = files.find(path);
    if (file == files.end()) return 2;
    *content = file->second;
    return 0;
  }
  void ShowMessageBox(const std::string& text) override { messageBoxes.push_back(text); }
  void Write(const std::string& text) override { out += text; }
  void Flush() override {}
};
