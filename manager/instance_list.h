// The instance record, the collection Instances (1-based, master first), the master
// settings, the lookups and the instance list row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "view.h"

// The manager's record of one instance. Plain data; a fresh record holds empty texts, zeros and False.
struct VMDSInstanceClass {
  std::string mInstallDir;
  bool mMasterInstance = false;
  std::string mInstanceName;
  std::string mServiceName;
  std::string mServiceDisplayName;
  std::int16_t mDebugEnabled = 0;
  std::int32_t mTCPPort = 0;
  std::string mCOMPort;
  std::string mLogFileName;
  std::int32_t mCOMPortBitRate = 0;
  std::int16_t mCOMPortDataBits = 0;
  std::string mCOMPortParity;
  float mCOMPortStopBits = 0;  // 1, 1.5 or 2; 0 = not set
  std::int16_t mDropDTRonSocketClose = 0;
  std::int16_t mDropRTSonSocketClose = 0;
  std::int32_t mMaxConnectTime = 0;
  std::int32_t mIdleTimeout = 0;
  std::string mAllowedClients;  // IPv4 addresses and ranges, comma-separated; empty: anyone
  std::string mListenAddress;   // one local IPv4 address; empty: all local addresses
  // Protocol=RFC2217: the clients control the serial port through Telnet (remote port control);
  // false: Protocol=Raw, bytes passed unchanged (also a file without the key).
  bool mRemotePortControl = false;
  // Encryption (TLS): the PEM files of the server's certificate and private key, and the bundle
  // of certificate authorities a client's certificate must chain to. Paths as written, relative
  // ones inside the instance directory; all empty: the clients connect without TLS.
  std::string mTLSCertificate;
  std::string mTLSKey;
  std::string mTLSClientCA;  // empty: any client, without a certificate of its own
  // The lines of its startup file the manager does not own (keys it does not know, comments
  // written by hand), without their line ends, in the order they were read. Every rewrite of the
  // file writes them back after the manager's own lines.
  std::vector<std::string> mOtherLines;
  bool operator==(const VMDSInstanceClass&) const = default;
};

// Ordered collection with 1-based positions; item 1 is the master. It owns its records.
class InstanceCollection {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // The record at `index` (1-based); a position outside 1..Count raises "Subscript out of range".
  VMDSInstanceClass& Item(int index);
  const VMDSInstanceClass& Item(int index) const;
  void Add(VMDSInstanceClass record) { items_.push_back(std::move(record)); }
  // Removes the record at `index` and closes the gap.
  void Remove(int index);
  void Clear() { items_.clear(); }

 private:
  std::vector<VMDSInstanceClass> items_;
};

// The collection and the master settings that mirror the master startup file.
struct ManagerState {
  InstanceCollection Instances;
  bool FirstTimeRun = true;
  std::string InstallDir;
  std::int16_t NumberofInstancesInstalled = 0;
  std::string InstanceNamesList;  // instance names joined by "%"
  std::string UserManualFilename;
  std::string StartupFileName = "vmds.ini";
};

// Position of the first record named exactly `InstanceName` (case-sensitive); -1 when none.
std::int16_t GetInstanceIndex(const ManagerState& state, const std::string& InstanceName);
// Position of the first record on this TCP port; 0 when none.
std::int16_t GetInstanceIndexByTCPPort(const ManagerState& state, std::int32_t port);
// Position of the first record on this serial port name (case-sensitive); 0 when none.
std::int16_t GetInstanceIndexByCOMPort(const ManagerState& state, const std::string& portName);

// The serial-port column of a list row: "COM" + the number after the port name's first three
// characters, right-aligned in three ("COM  5", "COM 12", "COM123"). Raises a RunTimeFailure when
// the name is shorter than three characters (5), its rest is not a number (13) or the number is
// outside 16 bits (6).
std::string SerialPortColumn(const std::string& portName);
// The list row of a record (instance name, TCP port, serial port column); raises as above.
InstanceListRow MakeInstanceListRow(const VMDSInstanceClass& record);
