// The serial ports present on this computer from the system's records: the Ports device class
// of SetupAPI (port name and friendly name of each present device) and the registry's list of
// serial devices, HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (port names only; some drivers and Wine
// list their ports there alone). No port is opened.
#pragma once

#include "serial_port_catalog.h"

class Win32SerialPortCatalog : public SerialPortCatalog {
 public:
  std::map<std::string, std::string> PresentPorts() override;
};
