// How serial line settings are named (the editor's entries, the startup file's tokens) and the
// settings every new instance starts with.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "instance_list.h"

// The entries of the editor's drop-down lists, in their order.
const std::vector<std::string>& SerialPortEntries();  // "COM1" .. "COM255"
const std::vector<std::string>& BitRateEntries();
const std::vector<std::string>& DataBitsEntries();
const std::vector<std::string>& ParityEntries();      // "None", "Even", "Odd", "Space", "Mark"
const std::vector<std::string>& StopBitsEntries();    // "1", "1.5", "2"

// Parity: the editor's entry and the startup file's token ("None" and "NOPARITY"); empty when
// the other side is not one of the five.
std::string ParityToken(const std::string& entry);
std::string ParityEntry(const std::string& token);

// Stop bits 1, 1.5 and 2: the editor's entry ("1.5") and the startup file's token
// ("ONE5STOPBITS"); empty for any other value.
std::string StopBitsEntry(float stopBits);
std::string StopBitsToken(float stopBits);
// The value of a startup-file token; nothing for an unknown token.
std::optional<float> StopBitsOfToken(const std::string& token);

// The line and session settings of a new instance: 1200 bps, 8 data bits, no parity, 1 stop
// bit, no maximum connection time, 120 s idle time, DTR and RTS kept, debug mode off. Names,
// ports and the log file are left as they are.
void ApplyInstanceDefaults(VMDSInstanceClass& record);
