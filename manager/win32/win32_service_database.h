// The service-database seam over the real Service Control Manager calls.
#pragma once

#include "service_database.h"

class Win32ServiceDatabase : public ServiceDatabase {
 public:
  int OpenServiceManager(std::uint32_t access, ScHandle* manager) override;
  int CreateServiceEntry(ScHandle manager, const ServiceRegistration& registration,
                         ScHandle* service) override;
  int SetServiceDescription(ScHandle service, const std::string& description) override;
  int SetRecoveryActions(ScHandle service, const RecoveryActions& actions) override;
  int OpenServiceEntry(ScHandle manager, const std::string& name, std::uint32_t access,
                       ScHandle* service) override;
  int StartServiceEntry(ScHandle service) override;
  int SendStopControl(ScHandle service) override;
  int QueryServiceState(ScHandle service, std::uint32_t* state) override;
  int EnumerateServiceStates(ScHandle manager,
                             std::map<std::string, std::uint32_t>* states) override;
  int WriteEventSource(const std::string& source, const std::string& messageFile,
                       std::uint32_t typesSupported) override;
  int DeleteServiceEntry(ScHandle service) override;
  void CloseServiceEntry(ScHandle handle) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::string ErrorText(int error) override;
};
