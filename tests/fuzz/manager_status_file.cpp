// Fuzz target: the manager's reader of a device server's status file (ParseServerStatus) and the
// texts made from what it read (the State column and the details).
// Input: the instance name up to the first NUL, then the file's text.
#include <string>

#include "fuzz_check.h"
#include "instance_status.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string name = split == std::string::npos ? "Master" : input.substr(0, split);
  const std::string text = split == std::string::npos ? input : input.substr(split + 1);

  const ServerStatus status = ParseServerStatus(text, name);
  FUZZ_CHECK(ParseServerStatus(text, name) == status);
  // Whatever was read came from a series of this instance's file.
  const bool any = !status.state.empty() || !status.clientAddress.empty() ||
                   status.sessionStart || status.deviceBytes || status.clientBytes ||
                   status.droppedBytes || status.exitCode || !status.failureReason.empty();
  FUZZ_CHECK(!any || text.find("vmds_") != std::string::npos);
  for (const auto& bytes : {status.deviceBytes, status.clientBytes, status.droppedBytes})
    FUZZ_CHECK(!bytes || (*bytes == *bytes && *bytes - *bytes == 0));  // finite
  for (ServiceCondition condition :
       {ServiceCondition::kUnknown, ServiceCondition::kNotRegistered, ServiceCondition::kStopped,
        ServiceCondition::kStartPending, ServiceCondition::kStopPending,
        ServiceCondition::kRunning, ServiceCondition::kOther}) {
    const std::string state = StateText(condition, status);
    FUZZ_CHECK((condition == ServiceCondition::kUnknown) == state.empty());
    const std::string details =
        StatusDetails(condition, status, [](std::int64_t s) { return std::to_string(s); });
    FUZZ_CHECK(details.rfind("State: " + state, 0) == 0);
  }
  return 0;
}
