#include "win32_serial_port_catalog.h"

#include <windows.h>
#include <setupapi.h>

#include <vector>

namespace {

// The Ports device class (COM and LPT ports): {4D36E978-E325-11CE-BFC1-08002BE10318}.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

bool IsComName(const std::string& name) {
  return name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
         (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm');
}

// A string value of an open key; empty when it has none.
std::string StringValue(HKEY key, const char* name) {
  char text[256] = {};
  DWORD type = 0, size = sizeof(text) - 1;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return std::string();
  return std::string(text);
}

void AddSetupApiPorts(std::map<std::string, std::string>& ports) {
  HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    const std::string name = StringValue(key, "PortName");
    RegCloseKey(key);
    if (!IsComName(name)) continue;
    char friendly[256] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, &type,
                                           reinterpret_cast<BYTE*>(friendly),
                                           sizeof(friendly) - 1, nullptr) ||
        type != REG_SZ)
      friendly[0] = '\0';
    ports[name] = friendly;
  }
  SetupDiDestroyDeviceInfoList(devices);
}

void AddSerialCommPorts(std::map<std::string, std::string>& ports) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return;
  for (DWORD index = 0;; ++index) {
    char valueName[256];
    DWORD nameLength = sizeof(valueName);
    char data[256] = {};
    DWORD type = 0, size = sizeof(data) - 1;
    const LONG result = RegEnumValueA(key, index, valueName, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    const std::string name(data);
    if (IsComName(name)) ports.emplace(name, std::string());  // SetupAPI's name stays
  }
  RegCloseKey(key);
}

}  // namespace

std::map<std::string, std::string> Win32SerialPortCatalog::PresentPorts() {
  std::map<std::string, std::string> ports;
  AddSetupApiPorts(ports);
  AddSerialCommPorts(ports);
  return ports;
}
