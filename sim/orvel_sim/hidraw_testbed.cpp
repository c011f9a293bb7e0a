#include "hidraw_testbed.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "report_descriptor.h"

namespace orvel_sim {

namespace {

const char kHubPath[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";

// Port P of a hub on the root hub's port 2: the kernel names the device
// there, its USB location, 1-2.<P+1>, as a tool reads it through sysfs.
std::string UsbLocation(int port) { return "1-2." + std::to_string(port + 1); }

std::string UsbDevicePath(int port) { return kHubPath + ("/" + UsbLocation(port)); }

std::string InterfacePath(int port) {
  return UsbDevicePath(port) + "/" + UsbLocation(port) + ":1.0";
}

// The kernel numbers HID devices in the order they come.
std::string HidName(const NodePlace& place, const UsbIdentity& identity) {
  char name[32];
  std::snprintf(name, sizeof name, "0003:%04X:%04X.%04X", identity.vendorId,
                identity.productId, static_cast<unsigned>(place.node + 1));
  return name;
}

std::string HidPath(const NodePlace& place, const UsbIdentity& identity) {
  return InterfacePath(place.port) + "/" + HidName(place, identity);
}

std::string HidrawPath(const NodePlace& place, const UsbIdentity& identity) {
  return HidPath(place, identity) + "/hidraw/hidraw" + std::to_string(place.node);
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
  return text;
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    text += pair;
  }
  return text;
}

// Text form paths carry no /sys prefix.
std::string WithoutSys(const std::string& path) { return path.substr(4); }

std::string TakeString(gchar* text) {
  std::string copy = text ? text : "";
  g_free(text);
  return copy;
}

// The hub the devices hang off.
std::string DescribeHub() {
  std::string text;
  text += "P: " + WithoutSys(kHubPath) + "\n";
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\nE: DEVNUM=002\n";
  text += "A: idVendor=1234\nA: idProduct=0001\nA: bcdDevice=0100\nA: bDeviceClass=09\n";
  text += "A: product=USB Hub\nA: busnum=1\nA: devnum=2\nA: speed=480\n\n";
  return text;
}

}  // namespace

std::string DescribeNode(const NodePlace& place, const UsbIdentity& identity) {
  // Device numbers on bus 1: the root hub has 1, the hub 2.
  const std::string devnum = std::to_string(place.node + 3);
  std::string text;
  text += "P: " + WithoutSys(UsbDevicePath(place.port)) + "\n";
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
  text += "E: BUSNUM=001\nE: DEVNUM=" + std::string(3 - std::min<size_t>(3, devnum.size()), '0') +
          devnum + "\n";
  text += "A: idVendor=" + Hex4(identity.vendorId) + "\n";
  text += "A: idProduct=" + Hex4(identity.productId) + "\n";
  text += "A: bcdDevice=" + Hex4(identity.release) + "\n";
  text += "A: manufacturer=" + identity.manufacturer + "\n";
  text += "A: product=" + identity.product + "\n";
  // A device without a serial number has no such attribute.
  if (!identity.serial.empty()) text += "A: serial=" + identity.serial + "\n";
  text += "A: busnum=1\nA: devnum=" + devnum + "\nA: speed=12\n\n";

  text += "P: " + WithoutSys(InterfacePath(place.port)) + "\n";
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
  text += "A: bInterfaceNumber=" + Hex4(static_cast<unsigned>(identity.interfaceNumber)).substr(2) +
          "\n";
  text += "A: bInterfaceClass=03\n\n";

  text += "P: " + WithoutSys(HidPath(place, identity)) + "\n";
  text += "E: SUBSYSTEM=hid\n";
  char hidId[40];  // upper case, as the kernel writes it
  std::snprintf(hidId, sizeof hidId, "0003:%08X:%08X", identity.vendorId, identity.productId);
  text += "E: HID_ID=" + std::string(hidId) + "\n";
  text += "E: HID_NAME=" + identity.manufacturer + " " + identity.product + "\n";
  text += "E: HID_UNIQ=" + identity.serial + "\n";
  text += "E: HID_PHYS=usb-0000:00:14.0-" + UsbLocation(place.port).substr(2) + "/input0\n";
  text += "H: report_descriptor=" + HexBytes(kReportDescriptor, sizeof kReportDescriptor) + "\n\n";

  text += "P: " + WithoutSys(HidrawPath(place, identity)) + "\n";
  text += "N: hidraw" + std::to_string(place.node) + "\n";
  text += "E: SUBSYSTEM=hidraw\n";
  text += "E: DEVNAME=" + HidrawTestbed::DevNode(place.node) + "\n";
  text += "L: device=../../../" + HidName(place, identity) + "\n\n";
  return text;
}

HidrawTestbed::~HidrawTestbed() {
  if (testbed_) g_object_unref(testbed_);
}

bool HidrawTestbed::Create(std::string& error) {
  testbed_ = umockdev_testbed_new();
  if (!testbed_) {
    error = "cannot create the umockdev testbed";
    return false;
  }
  rootDir_ = TakeString(umockdev_testbed_get_root_dir(testbed_));
  GError* failure = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, DescribeHub().c_str(), &failure)) {
    error = std::string("cannot add the USB hub: ") + failure->message;
    g_error_free(failure);
    return false;
  }
  return true;
}

std::string HidrawTestbed::DevNode(int index) { return "/dev/hidraw" + std::to_string(index); }

bool HidrawTestbed::AddNode(const NodePlace& place, const UsbIdentity& identity,
                            UMockdevIoctlBase* handler, int& masterFd, std::string& error) {
  GError* failure = nullptr;
  const std::string node = DevNode(place.node);
  // Emulated before the node appears: a client that finds the node (a board
  // arriving while a tool scans) must never open it as a plain terminal.
  if (!umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler, &failure)) {
    error = "cannot emulate " + node + ": " + failure->message;
    g_error_free(failure);
    return false;
  }
  const std::string description = DescribeNode(place, identity);
  if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &failure)) {
    error = std::string("cannot add a hidraw device: ") + failure->message;
    g_error_free(failure);
    return false;
  }
  masterFd = umockdev_testbed_get_dev_fd(testbed_, node.c_str());
  const char* slaveName = masterFd >= 0 ? ptsname(masterFd) : nullptr;
  struct stat slave {};
  if (!slaveName || stat(slaveName, &slave) != 0) {
    error = "the emulated " + node + " has no pseudo-terminal";
    return false;
  }
  // hidapi finds a handle's device by its real device number: point
  // MAJOR/MINOR and /sys/dev/char at the pseudo-terminal behind the node.
  const unsigned major_number = major(slave.st_rdev);
  const unsigned minor_number = minor(slave.st_rdev);
  const std::string numbers = std::to_string(major_number) + ":" + std::to_string(minor_number);
  const std::string hidraw = HidrawPath(place, identity);
  umockdev_testbed_set_property_int(testbed_, hidraw.c_str(), "MAJOR", static_cast<int>(major_number));
  umockdev_testbed_set_property_int(testbed_, hidraw.c_str(), "MINOR", static_cast<int>(minor_number));
  umockdev_testbed_set_attribute(testbed_, hidraw.c_str(), "dev", numbers.c_str());
  const std::string charDir = rootDir_ + "/sys/dev/char";
  g_mkdir_with_parents(charDir.c_str(), 0755);
  const std::string link = charDir + "/" + numbers;
  unlink(link.c_str());
  if (symlink(("../../devices" + hidraw.substr(12)).c_str(), link.c_str()) != 0) {
    error = "cannot link " + link;
    return false;
  }
  nodes_[place.node] = {place, identity};
  return true;
}

void HidrawTestbed::RemoveNode(int node) {
  const auto found = nodes_.find(node);
  if (found == nodes_.end()) return;
  const NodePlace place = found->second.first;
  const UsbIdentity identity = found->second.second;
  nodes_.erase(found);
  // Leaf first, so that no class link or device node is left behind.
  umockdev_testbed_remove_device(testbed_, HidrawPath(place, identity).c_str());
  umockdev_testbed_remove_device(testbed_, HidPath(place, identity).c_str());
  umockdev_testbed_remove_device(testbed_, InterfacePath(place.port).c_str());
  umockdev_testbed_remove_device(testbed_, UsbDevicePath(place.port).c_str());
}

}  // namespace orvel_sim
