// StopServiceWithTimeout: stops one service, at most 90 seconds.
#pragma once

#include <string>

#include "service_database.h"

constexpr int kStopLimitSeconds = 90;

// Writes "Attempting to stop the \"<name>\" Service ..." when the service is not stopped, one
// "." per further second of waiting, then " OK" and a line end, however the wait ended.
void StopServiceWithTimeout(ServiceDatabase& db, ToolHost& host, ScHandle service,
                            const std::string& name);
