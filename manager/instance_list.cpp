#include "instance_list.h"

#include <optional>

#include "run_time_error.h"
#include "value_conversions.h"

VMDSInstanceClass& InstanceCollection::Item(int index) {
  if (index < 1 || index > Count()) throw RunTimeFailure(kErrSubscriptOutOfRange);
  return items_[static_cast<std::size_t>(index - 1)];
}

const VMDSInstanceClass& InstanceCollection::Item(int index) const {
  if (index < 1 || index > Count()) throw RunTimeFailure(kErrSubscriptOutOfRange);
  return items_[static_cast<std::size_t>(index - 1)];
}

void InstanceCollection::Remove(int index) {
  if (index < 1 || index > Count()) throw RunTimeFailure(kErrSubscriptOutOfRange);
  items_.erase(items_.begin() + (index - 1));
}

std::int16_t GetInstanceIndex(const ManagerState& state, const std::string& InstanceName) {
  for (int i = 1; i <= state.Instances.Count(); ++i)
    if (state.Instances.Item(i).mInstanceName == InstanceName) return static_cast<std::int16_t>(i);
  return -1;
}

std::int16_t GetInstanceIndexByTCPPort(const ManagerState& state, std::int32_t port) {
  for (int i = 1; i <= state.Instances.Count(); ++i) {
    const VMDSInstanceClass& record = state.Instances.Item(i);
    if (record.mTCPPort == port) return GetInstanceIndex(state, record.mInstanceName);
  }
  return 0;
}

std::int16_t GetInstanceIndexByCOMPort(const ManagerState& state, const std::string& portName) {
  for (int i = 1; i <= state.Instances.Count(); ++i) {
    const VMDSInstanceClass& record = state.Instances.Item(i);
    if (record.mCOMPort == portName) return GetInstanceIndex(state, record.mInstanceName);
  }
  return 0;
}

std::string SerialPortColumn(const std::string& portName) {
  if (portName.size() < 3) throw RunTimeFailure(kErrInvalidProcedureCall);
  std::optional<double> number = WholeNumberText(portName.substr(3));
  if (!number) throw RunTimeFailure(kErrTypeMismatch);
  std::string digits = std::to_string(RoundToInt16(*number));
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), ' ');
  return "COM" + digits;
}

InstanceListRow MakeInstanceListRow(const VMDSInstanceClass& record) {
  return InstanceListRow{record.mInstanceName, std::to_string(record.mTCPPort),
                         SerialPortColumn(record.mCOMPort)};
}
