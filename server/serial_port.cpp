#include "serial_port.h"

#include "server_state.h"

void ApplyParityToken(const std::string& token, os::LineSettings& settings) {
  struct Entry { const char* token; std::uint8_t parity; };
  static constexpr Entry kParities[] = {
      {"ODDPARITY", 1}, {"EVENPARITY", 2}, {"MARKPARITY", 3}, {"SPACEPARITY", 4}};
  settings.parity = 0;
  settings.parityCheck = false;
  for (const Entry& entry : kParities) {
    if (token == entry.token) {
      settings.parity = entry.parity;
      settings.parityCheck = true;
    }
  }
}

std::uint8_t StopBitsFromToken(const std::string& token) {
  if (token == "ONE5STOPBITS") return 1;
  if (token == "TWOSTOPBITS") return 2;
  return 0;
}

std::string SerialSettingsLine(const os::LineSettings& settings) {
  static constexpr const char* kParityNames[] = {"None", "Odd", "Even", "Mark", "Space"};
  static constexpr const char* kStopBitNames[] = {"1", "1.5", "2"};
  const char* parity = settings.parity < 5 ? kParityNames[settings.parity] : "Unknown";
  const char* stopBits = settings.stopBits < 3 ? kStopBitNames[settings.stopBits] : "Unknown";
  return Format("Bit Rate = %u Data Bits = %u Parity = %s Stop Bits = %s",
                static_cast<unsigned>(settings.baudRate), static_cast<unsigned>(settings.byteSize),
                parity, stopBits);
}

os::LineSettings ConfiguredLineSettings(const SerialSettings& serial) {
  // Bytes pass unchanged: no flow control, whatever the driver held before (a fresh Linux
  // terminal has XON/XOFF on, and another program may have left a handshake).
  os::LineSettings line;
  line.flow = os::FlowControl::kNone;
  line.baudRate = static_cast<std::uint32_t>(serial.COMPortBitRate);
  line.byteSize = static_cast<std::uint8_t>(serial.COMPortDataBits & 0xFF);
  ApplyParityToken(serial.COMPortParity, line);
  line.stopBits = StopBitsFromToken(serial.COMPortStopBits);
  return line;
}

bool OpenSerialPort(const SerialSettings& serial, const ServiceSettings& service,
                    const LogSettings& log, std::unique_ptr<os::SerialPort>& port) {
  const char* name = serial.COMPort.c_str();
  int error = 0;
  port = os::OpenSerialDevice(serial.COMPort, &error);
  if (!port) {
    ReportServiceStatus(os::kServiceStopPending, 0, 0, 500);
    if (error == os::kErrAccessDenied) {
      LogEvent(Format("%s is in use", name), log);
    } else if (error == os::kErrFileNotFound) {
      LogEvent(Format("%s does not exist", name), log);
    } else {
      LogEvent(Format("Win32 Error #: %d %s could not be opened", error, name), log);
    }
    return false;
  }
  if (port->SetupBuffers(128, 128) != 0) {
    LogEvent(Format("Could not set up buffer sizes for %s", name), log);
    return false;
  }
  os::LineSettings line;
  if (port->GetLineSettings(&line) != 0) {
    LogEvent(Format("Could not retrieve the comm state for %s", name), log);
    return false;
  }
  if (port->GetTimeouts() != 0) {
    LogEvent(Format("Could not retrieve timeouts for %s", name), log);
    return false;
  }
  line = ConfiguredLineSettings(serial);
  if (port->SetLineSettings(line) != 0) {
    LogEvent(Format("Could not configure %s", name), log);
    return false;
  }
  if (port->SetNonBlockingTimeouts() != 0) {
    LogEvent(Format("Could not set up comm timeouts for %s", name), log);
    return false;
  }
  if (service.DropDTRonSocketClose) {
    if (int e = port->SetModemLine(os::ModemLine::kDtr, false); e != 0) {
      LogEvent(Format("Win32 Error #: %d Could not release DTR", e), log);
      return false;
    }
  } else if (int e = port->SetModemLine(os::ModemLine::kDtr, true); e != 0) {
    LogEvent(Format("Win32 Error #: %d Could not set DTR high", e), log);
    return false;
  }
  if (service.DropRTSonSocketClose) {
    if (int e = port->SetModemLine(os::ModemLine::kRts, false); e != 0) {
      LogEvent(Format("Win32 Error #: %d Could not release RTS", e), log);
      return false;
    }
  } else if (int e = port->SetModemLine(os::ModemLine::kRts, true); e != 0) {
    LogEvent(Format("Win32 Error #: %d Could not set RTS", e), log);
    return false;
  }
  LogDebug("Serial port initialized", log);
  return true;
}

void PurgeSerialInput(os::SerialPort& port) {
  std::uint8_t scratch[128];
  std::size_t got = 0;
  // Each read returns at once; stop when the receive buffer is empty (or the read fails).
  while (port.Read(scratch, sizeof scratch, &got) == 0 && got > 0) {
  }
}
