// The removal tool's seams over the real Win32 calls.
#pragma once

#include "service_database.h"

class Win32ServiceDatabase : public ServiceDatabase {
 public:
  int OpenServiceManager(std::uint32_t access, ScHandle* manager) override;
  int OpenServiceEntry(ScHandle manager, const std::string& name, std::uint32_t access,
                       ScHandle* service) override;
  int QueryServiceState(ScHandle service, std::uint32_t* state) override;
  int SendStopControl(ScHandle service) override;
  int DeleteServiceEntry(ScHandle service) override;
  void CloseServiceEntry(ScHandle handle) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::int64_t NowSeconds() override;
};

class Win32ToolHost : public ToolHost {
 public:
  int GetProgramPath(std::string* path) override;
  int ReadWholeFile(const std::string& path, std::string* content) override;
  void ShowMessageBox(const std::string& text) override;
  void Write(const std::string& text) override;
  void Flush() override;
};
