#include "virtual_port.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "report_descriptor.h"

namespace orvel_sim {

namespace {

// A restarted chip drops off the bus about this long after its first restart
// packet, unless its client closes it sooner.
constexpr auto kRestartLeaveDelay = std::chrono::milliseconds(300);

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The command and what it starts must not inherit a device's pseudo-terminal,
// or it would stay open after the device left the bus or orvel-sim ended.
void SetCloseOnExec(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Copies a structure the client passed by pointer and writes it back on completion.
bool AnswerPointer(UMockdevIoctlClient* client, const void* value, size_t size) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  GError* failure = nullptr;
  UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, size, &failure);
  if (!target) {
    g_error_free(failure);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return true;
  }
  std::memcpy(target->data, value, size);
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(target);
  return true;
}

}  // namespace

VirtualPort::VirtualPort(int index, uint32_t flashSize, PortBus& bus)
    : index_(index), bus_(bus), model_(flashSize) {}

VirtualPort::~VirtualPort() {
  if (handler_) g_object_unref(handler_);
  if (slaveFd_ >= 0) close(slaveFd_);
}

bool VirtualPort::Attach(HidrawTestbed& testbed, std::string& error) {
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(OnWrite), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(OnRead), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(OnConnected), this);
  g_signal_connect(handler_, "client-vanished", G_CALLBACK(OnVanished), this);
  UsbIdentity identity;
  if (!testbed.AddNode(index_, identity, handler_, masterFd_, error)) return false;
  // A full queue drops reports, as a real hidraw queue does, rather than
  // blocking the responder.
  SetNonBlocking(masterFd_);
  SetCloseOnExec(masterFd_);
  const char* slaveName = ptsname(masterFd_);
  slaveFd_ = slaveName ? open(slaveName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
  if (slaveFd_ < 0) {
    error = "cannot open the pseudo-terminal of " + HidrawTestbed::DevNode(index_);
    return false;
  }
  // Raw mode: the bell byte must reach poll() at once, untouched.
  termios mode{};
  if (tcgetattr(slaveFd_, &mode) == 0) {
    cfmakeraw(&mode);
    tcsetattr(slaveFd_, TCSANOW, &mode);
  }
  return true;
}

void VirtualPort::Detach(HidrawTestbed& testbed) {
  {
    std::lock_guard<std::mutex> hold(bus_.lock);
    if (removed_) return;
    removed_ = true;
    input_.clear();
  }
  testbed.RemoveNode(index_);
}

gboolean VirtualPort::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  if (request == HIDIOCGRDESCSIZE) {
    const int size = sizeof kReportDescriptor;
    return AnswerPointer(client, &size, sizeof size);
  }
  if (request == HIDIOCGRDESC) {
    hidraw_report_descriptor descriptor{};
    descriptor.size = sizeof kReportDescriptor;
    std::memcpy(descriptor.value, kReportDescriptor, sizeof kReportDescriptor);
    return AnswerPointer(client, &descriptor, sizeof descriptor);
  }
  if (request == HIDIOCGRAWINFO) {
    const UsbIdentity identity;
    hidraw_devinfo info{};
    info.bustype = 3;  // BUS_USB
    info.vendor = static_cast<int16_t>(identity.vendorId);
    info.product = static_cast<int16_t>(identity.productId);
    return AnswerPointer(client, &info, sizeof info);
  }
  umockdev_ioctl_client_complete(client, -1, ENOTTY);
  return true;
}

gboolean VirtualPort::OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<VirtualPort*>(self)->HandleWrite(client);
  return true;
}

gboolean VirtualPort::OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<VirtualPort*>(self)->HandleRead(client);
  return true;
}

void VirtualPort::OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self) {
  VirtualPort& port = *static_cast<VirtualPort*>(self);
  std::lock_guard<std::mutex> hold(port.bus_.lock);
  // Every open of a hidraw node starts with an empty input queue.
  if (++port.clients_ == 1) port.input_.clear();
}

void VirtualPort::OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self) {
  VirtualPort& port = *static_cast<VirtualPort*>(self);
  std::lock_guard<std::mutex> hold(port.bus_.lock);
  if (--port.clients_ > 0) return;
  port.clients_ = 0;
  port.input_.clear();
  if (port.model_.restarted()) port.RequestRemovalOnce();
}

void VirtualPort::HandleWrite(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const size_t length = arg->data_len > 0 ? static_cast<size_t>(arg->data_len) : 0;
  // Without numbered reports the leading report ID 0 is not part of the report.
  const uint8_t* bytes = arg->data;
  size_t count = length;
  if (count > 0 && bytes[0] == 0) {
    ++bytes;
    --count;
  }
  sim::Report report{};
  std::copy_n(bytes, std::min(count, report.size()), report.begin());

  std::lock_guard<std::mutex> hold(bus_.lock);
  const size_t traced = model_.trace().size();
  const sim::HandleResult result = model_.HandleReport(report);
  RecordNewRequests(traced);
  if (!result.accepted) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    RequestRemovalOnce();
    return;
  }
  SendReplies(result.replies);
  if (model_.restarted() && !removalRequested_) {
    bus_.timer.PostAt(SimClock::now() + kRestartLeaveDelay, [this] {
      std::lock_guard<std::mutex> later(bus_.lock);
      RequestRemovalOnce();
    });
  }
  umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
}

void VirtualPort::HandleRead(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const size_t wanted = arg->data_len > 0 ? static_cast<size_t>(arg->data_len) : 0;
  std::lock_guard<std::mutex> hold(bus_.lock);
  if (model_.unplugged()) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  AnswerBell();
  if (input_.empty()) {
    // A bell left over from an earlier client: nothing to read after all.
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  sim::Report report = input_.front();
  input_.pop_front();
  // Like hidraw: one report per read, cut to the size asked for.
  const size_t count = std::min(wanted, report.size());
  umockdev_ioctl_data_update(arg, 0, report.data(), static_cast<gint>(count));
  RingBell();
  umockdev_ioctl_client_complete(client, static_cast<glong>(count), 0);
}

void VirtualPort::SendReplies(const std::vector<sim::Reply>& replies) {
  const SimClock::time_point now = SimClock::now();
  for (const sim::Reply& reply : replies) {
    SimClock::time_point due = now + std::chrono::milliseconds(reply.delayMs) +
                               std::chrono::microseconds(bus_.latencyUs);
    // A device answers in order: no reply overtakes one held back before it.
    due = std::max(due, lastReplyDue_);
    lastReplyDue_ = due;
    if (due <= now && repliesInFlight_ == 0) {
      Deliver(reply.bytes);
      continue;
    }
    ++repliesInFlight_;
    const sim::Report bytes = reply.bytes;
    bus_.timer.PostAt(due, [this, bytes] { DeliverLater(bytes); });
  }
}

void VirtualPort::DeliverLater(const sim::Report& report) {
  std::lock_guard<std::mutex> hold(bus_.lock);
  --repliesInFlight_;
  Deliver(report);
}

void VirtualPort::Deliver(const sim::Report& report) {
  // Nobody has the node open, or it left the bus: the report is lost.
  if (clients_ == 0 || removed_ || model_.unplugged()) return;
  input_.push_back(report);
  RingBell();
}

void VirtualPort::RingBell() {
  if (bellRinging_ || input_.empty()) return;
  const uint8_t bell = 0;
  bellRinging_ = write(masterFd_, &bell, 1) == 1;
}

void VirtualPort::AnswerBell() {
  if (!bellRinging_) return;
  uint8_t drained[16];
  if (read(slaveFd_, drained, sizeof drained) > 0) bellRinging_ = false;
}

void VirtualPort::RecordNewRequests(size_t alreadyTraced) {
  const auto& trace = model_.trace();
  for (size_t i = alreadyTraced; i < trace.size(); ++i) {
    bus_.trace.push_back(sim::FormatTraceLine(index_, trace[i]));
  }
}

void VirtualPort::RequestRemovalOnce() {
  if (removalRequested_) return;
  removalRequested_ = true;
  if (bus_.requestRemoval) bus_.requestRemoval(index_);
}

}  // namespace orvel_sim
