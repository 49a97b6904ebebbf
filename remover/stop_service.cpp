#include "stop_service.h"

void StopServiceWithTimeout(ServiceDatabase& db, ToolHost& host, ScHandle service,
                            const std::string& name) {
  const std::int64_t start = db.NowSeconds();
  std::uint32_t state = 0;
  if (db.QueryServiceState(service, &state) != 0 || state == kServiceStopped) return;
  host.Write("Attempting to stop the \"" + name + "\" Service ...");
  if (state != kServiceStopPending) db.SendStopControl(service);
  db.Sleep(1000);
  bool queried = db.QueryServiceState(service, &state) == 0;
  std::int64_t now = db.NowSeconds();
  while (state != kServiceStopped && queried) {
    if (now >= start + kStopLimitSeconds) break;
    db.Sleep(1000);
    queried = db.QueryServiceState(service, &state) == 0;
    now = db.NowSeconds();
    host.Write(".");
  }
  host.Write(" OK\n");
  host.Flush();
}
