// The serial ports present on this computer, for the label beside the Serial Port lists. Only
// the system's records are read: a port is never opened to find out, which would disturb a
// device another program uses. The Win32 implementation is win32/win32_serial_port_catalog.h.
#pragma once

#include <map>
#include <string>

class SerialPortCatalog {
 public:
  virtual ~SerialPortCatalog() = default;
  // Port name ("COM3") -> friendly name ("USB Serial Port (COM3)"); the friendly name is empty
  // when the system records none.
  virtual std::map<std::string, std::string> PresentPorts() = 0;
};

// The label for a chosen port: its friendly name (with the port name in parentheses when it
// lacks it), "<port> is present on this computer" when it has none, "<port> is not present on
// this computer" when it is absent; empty for no port.
std::string PortPresenceText(const std::string& port,
                             const std::map<std::string, std::string>& present);
// True when the port is among the present ones (names compared without regard to case).
bool PortIsPresent(const std::string& port, const std::map<std::string, std::string>& present);
