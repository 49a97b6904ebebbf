// Opening and configuring the instance's serial port, and discarding stale input.
#pragma once

#include <memory>
#include <string>

#include "os/os.h"
#include "settings.h"

// "NOPARITY" etc. and "ONESTOPBIT" etc. as line settings; any other text means none / one.
void ApplyParityToken(const std::string& token, os::LineSettings& settings);
std::uint8_t StopBitsFromToken(const std::string& token);

// The line settings the instance is configured with (no flow control).
os::LineSettings ConfiguredLineSettings(const SerialSettings& serial);

// "Bit Rate = ... Data Bits = ... Parity = ... Stop Bits = ..." for what the driver holds.
std::string SerialSettingsLine(const os::LineSettings& settings);

// Opens and configures the port and sets DTR/RTS to their idle levels. On failure `port` may
// still hold the opened device; the caller closes it at shutdown.
bool OpenSerialPort(const SerialSettings& serial, const ServiceSettings& service,
                    const LogSettings& log, std::unique_ptr<os::SerialPort>& port);

// Reads and throws away whatever the port has received.
void PurgeSerialInput(os::SerialPort& port);
