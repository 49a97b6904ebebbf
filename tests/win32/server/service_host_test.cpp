// Service host pieces of the Win32 platform layer: the registered image path, the current
// directory and the dispatcher outside the service control manager.
#include <windows.h>
#undef CreateEvent

#include <gtest/gtest.h>

#include <string>

#include "os/os.h"

namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";

// A service key of its own for each test, removed again afterwards.
class ServiceKey {
 public:
  explicit ServiceKey(const std::string& suffix)
      : name_("VmdsOsTest_" + std::to_string(GetCurrentProcessId()) + "_" + suffix) {
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kServicesKey + name_).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    created_ = status == ERROR_SUCCESS;
  }
  ~ServiceKey() {
    if (!created_) return;
    RegCloseKey(key_);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kServicesKey + name_).c_str());
  }
  ServiceKey(const ServiceKey&) = delete;
  ServiceKey& operator=(const ServiceKey&) = delete;

  bool created() const { return created_; }
  const std::string& name() const { return name_; }
  LONG SetText(DWORD type, const std::string& value) {
    return RegSetValueExA(key_, "ImagePath", 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
  }
  LONG SetDword(DWORD value) {
    return RegSetValueExA(key_, "ImagePath", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
  }

 private:
  std::string name_;
  HKEY key_ = nullptr;
  bool created_ = false;
};

TEST(Win32ImagePath, PlainQuotedAndLongPathsComeBackUnchanged) {
  ServiceKey key("text");
  ASSERT_TRUE(key.created());
  const std::string plain = "C:\\Velmora\\Line 1\\vmds.exe";
  const std::string quoted = "\"C:\\Program Files\\Velmora\\vmds.exe\"";
  std::string longPath = "C:\\Velmora";
  while (longPath.size() < 200) longPath += "\\a directory with a long name";
  longPath += "\\vmds.exe";
  ASSERT_GT(longPath.size(), 127u);

  for (const std::string& path : {plain, quoted, longPath}) {
    ASSERT_EQ(key.SetText(REG_SZ, path), ERROR_SUCCESS);
    os::ImagePathResult result = os::ReadServiceImagePath(key.name());
    EXPECT_EQ(result.openError, 0);
    EXPECT_EQ(result.queryError, 0);
    EXPECT_EQ(result.path, path);
  }
}

TEST(Win32ImagePath, ExpandableStringIsExpanded) {
  ServiceKey key("expand");
  ASSERT_TRUE(key.created());
  ASSERT_EQ(key.SetText(REG_EXPAND_SZ, "%VMDS_OS_TEST_DIR%\\Line 2\\vmds.exe"), ERROR_SUCCESS);
  std::string directory(150, 'd');
  directory = "C:\\" + directory;  // expansion beyond the stored length
  ASSERT_TRUE(SetEnvironmentVariableA("VMDS_OS_TEST_DIR", directory.c_str()));
  os::ImagePathResult result = os::ReadServiceImagePath(key.name());
  SetEnvironmentVariableA("VMDS_OS_TEST_DIR", nullptr);
  EXPECT_EQ(result.queryError, 0);
  EXPECT_EQ(result.path, directory + "\\Line 2\\vmds.exe");
}

TEST(Win32ImagePath, FailuresNameTheStepThatFailed) {
  os::ImagePathResult missing = os::ReadServiceImagePath("VmdsOsTest_no_such_service");
  EXPECT_EQ(missing.openError, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing.queryError, 0);
  EXPECT_EQ(missing.path, "");

  ServiceKey key("novalue");
  ASSERT_TRUE(key.created());
  os::ImagePathResult noValue = os::ReadServiceImagePath(key.name());
  EXPECT_EQ(noValue.openError, 0);
  EXPECT_EQ(noValue.queryError, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(noValue.path, "");

  ASSERT_EQ(key.SetDword(42), ERROR_SUCCESS);
  os::ImagePathResult wrongType = os::ReadServiceImagePath(key.name());
  EXPECT_EQ(wrongType.openError, 0);
  EXPECT_EQ(wrongType.queryError, ERROR_INVALID_DATA);
  EXPECT_EQ(wrongType.path, "");
}

TEST(Win32ImagePath, ServiceRegisteredThroughTheServiceDatabase) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) GTEST_SKIP() << "no service database: error " << GetLastError();
  const std::string name = "VmdsOsTest_" + std::to_string(GetCurrentProcessId()) + "_scm";
  std::string path = "C:\\Velmora Device Server";
  while (path.size() < 140) path += "\\Instance directory";
  path += "\\vmds.exe";
  SC_HANDLE service = CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                     nullptr, nullptr);
  if (service == nullptr) {
    DWORD error = GetLastError();
    CloseServiceHandle(manager);
    FAIL() << "CreateServiceA failed: " << error;
  }
  os::ImagePathResult result = os::ReadServiceImagePath(name);
  DeleteService(service);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  EXPECT_EQ(result.openError, 0);
  EXPECT_EQ(result.queryError, 0);
  EXPECT_EQ(result.path, path);
}

TEST(Win32CurrentDirectory, ChangesToAnExistingDirectoryAndReportsAMissingOne) {
  char original[MAX_PATH] = {};
  ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, original), 0u);
  char temp[MAX_PATH] = {};
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);

  EXPECT_EQ(os::SetCurrentDir(temp), 0);
  char now[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, now);
  std::string expected = temp;
  if (expected.size() > 3 && expected.back() == '\\') expected.pop_back();
  EXPECT_EQ(std::string(now), expected);

  int error = os::SetCurrentDir(std::string(temp) + "vmds_no_such_directory\\");
  EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
  EXPECT_EQ(os::SetCurrentDir(original), 0);
}

bool g_serviceMainRan = false;
void RecordingServiceMain(int, char**) { g_serviceMainRan = true; }

TEST(Win32ServiceHost, DispatcherOutsideTheServiceControlManagerReturnsZero) {
  // Wine may take some seconds to refuse a process that is not a service.
  int result = os::RunServiceDispatcher(RecordingServiceMain);
  DWORD error = GetLastError();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error, static_cast<DWORD>(os::kErrServiceNotInExe));
  EXPECT_FALSE(g_serviceMainRan);
  // Without a registration, status reports go nowhere.
  os::SetStatus(os::ServiceStatus{});
}

}  // namespace
