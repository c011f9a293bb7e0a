// A umockdev testbed holding emulated hidraw nodes, each with the parent hid,
// USB interface and USB device that hidapi's hidraw backend expects to find.
#pragma once

#include <umockdev.h>

#include <map>
#include <string>

namespace orvel_sim {

struct UsbIdentity {
  uint16_t vendorId = 0x1234;
  uint16_t productId = 0xC081;
  uint16_t release = 0x0100;
  int interfaceNumber = 0;
  std::string manufacturer = "Orvel";
  std::string product = "ROM Bootloader";
  std::string serial;  // empty: the device has none
};

// Where a node sits: its number (/dev/hidraw<node>, which a new device never
// shares with one before it) and the hub port it hangs off (USB location
// 1-2.<port+1>, which boards plugged in there one after another share).
struct NodePlace {
  int node = 0;
  int port = 0;
};

class HidrawTestbed {
 public:
  HidrawTestbed() = default;
  HidrawTestbed(const HidrawTestbed&) = delete;
  HidrawTestbed& operator=(const HidrawTestbed&) = delete;
  // Removes the testbed's directory.
  ~HidrawTestbed();

  bool Create(std::string& error);
  // The directory that UMOCKDEV_DIR must name for a client.
  std::string RootDir() const { return rootDir_; }

  // Adds the node and its ancestors, and routes the client's ioctls, reads
  // and writes on it to `handler`. masterFd: the test side of the node's
  // pseudo-terminal. No other node may be on the bus at the same port.
  bool AddNode(const NodePlace& place, const UsbIdentity& identity, UMockdevIoctlBase* handler,
               int& masterFd, std::string& error);
  // The node and its ancestors leave the bus. Clients that hold the node
  // open keep their handle.
  void RemoveNode(int node);

  static std::string DevNode(int index);

 private:
  UMockdevTestbed* testbed_ = nullptr;
  std::string rootDir_;
  std::map<int, std::pair<NodePlace, UsbIdentity>> nodes_;  // on the bus, by node
};

// The umockdev text form of the four sysfs devices behind a node.
std::string DescribeNode(const NodePlace& place, const UsbIdentity& identity);

}  // namespace orvel_sim
