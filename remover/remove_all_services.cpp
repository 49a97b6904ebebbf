#include "remove_all_services.h"

#include "instance_names_list.h"
#include "stop_service.h"

namespace {

const char* kStartupFileName = "vmds.ini";

std::string CauseOf(int error) {
  switch (error) {
    case 5: return "Access is denied.";
    case 6: return "The handle is invalid.";
    case 123: return "The service name is invalid.";
    case 1060: return "The specified service does not exist as an installed service.";
    case 1072: return "The specified service has been marked for deletion.";
    default: return "Unexpected error.";
  }
}

}  // namespace

std::string ServiceDatabaseFailureMessage(int error) {
  std::string text;
  switch (error) {
    case 5:
      text = "Error: The requested access was denied. (Ensure that you have the user privlidges "
             "required to modify the SCM.)";
      break;
    case 1065: text = "Error: The specified database does not exist."; break;
    case 87: text = "Error: A specified parameter is invalid."; break;
    default: break;
  }
  return "The following error occured while removing VMDS services from the Service Control "
         "Manager:\n\n" + text;
}

std::vector<FailedService> RemoveServices(ServiceDatabase& db, ToolHost& host, ScHandle manager,
                                          const std::vector<std::string>& ServiceRemovalList) {
  std::vector<FailedService> FailedServiceList;
  for (const std::string& name : ServiceRemovalList) {
    ScHandle service = 0;
    if (int error = db.OpenServiceEntry(manager, name, kServiceAllAccess, &service)) {
      FailedServiceList.push_back({name, true, error});
      continue;
    }
    StopServiceWithTimeout(db, host, service, name);
    if (int error = db.DeleteServiceEntry(service))
      FailedServiceList.push_back({name, false, error});
    db.CloseServiceEntry(service);
  }
  return FailedServiceList;
}

std::string FailedServicesReport(const std::vector<FailedService>& FailedServiceList) {
  if (FailedServiceList.empty()) return "";
  std::string text = "The following services could not be removed:\n";
  for (const FailedService& failed : FailedServiceList) {
    text += "\"" + failed.Name + "\" could not be " + (failed.OpenFailed ? "opened" : "deleted") +
            " (error " + std::to_string(failed.Error) + ": " + CauseOf(failed.Error) + ")\n";
  }
  return text;
}

int RemoveAllServicesMain(const std::vector<std::string>& arguments, ToolHost& host,
                          ServiceDatabase& db) {
  if (arguments.size() != 1 || arguments[0] != kRemoveArgument) return kExitDone;

  std::string path;
  if (host.GetProgramPath(&path) != 0) return kExitNoProgramPath;
  path = path.substr(0, path.rfind('\\') + 1) + kStartupFileName;

  std::string text;
  if (host.ReadWholeFile(path, &text) != 0) {
    host.ShowMessageBox(
        "Failed to remove VMDS service(s) from the Service Control Manager.\nCause: Unable to "
        "read VMDS.ini.");
    return kExitNoStartupFile;
  }
  const std::vector<std::string> ServiceRemovalList = ParseInstanceNamesList(text);

  host.Write("Removing the following services from the SCM:\n");
  for (auto name = ServiceRemovalList.rbegin(); name != ServiceRemovalList.rend(); ++name)
    host.Write("\"" + *name + "\"\n");
  host.Flush();

  ScHandle manager = 0;
  if (int error = db.OpenServiceManager(kGenericWrite, &manager)) {
    host.ShowMessageBox(ServiceDatabaseFailureMessage(error));
    return kExitNoServiceDatabase;
  }
  const std::vector<FailedService> FailedServiceList =
      RemoveServices(db, host, manager, ServiceRemovalList);
  db.CloseServiceEntry(manager);
  host.Write(FailedServicesReport(FailedServiceList));
  host.Flush();
  return kExitDone;
}
