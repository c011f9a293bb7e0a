#include "virtual_port.h"

#include <fcntl.h>
#include <poll.h>
#include <linux/hidraw.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hidraw_limits.h"
#include "report_descriptor.h"

namespace orvel_sim {

namespace {

// A restarted chip drops off the bus about this long after its first restart
// packet, unless its client closes it sooner.
constexpr auto kRestartLeaveDelay = std::chrono::milliseconds(300);
// The longest the terminal may take to hand over the bell byte at attach time.
constexpr int kBellArrivalMs = 1000;
// poll() finds a raw terminal readable once VMIN bytes wait in it: with the
// one bell byte always there, VMIN says whether the node is readable.
constexpr cc_t kBellRinging = 1;
constexpr cc_t kBellQuiet = 2;

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
void AnswerPointer(UMockdevIoctlClient* client, const void* value, size_t size) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  GError* failure = nullptr;
  UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, size, &failure);
  if (!target) {
    g_error_free(failure);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  std::memcpy(target->data, value, size);
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(target);
}

}  // namespace

VirtualPort::VirtualPort(const NodePlace& place, const UsbIdentity& identity, uint32_t flashSize,
                         PortBus& bus)
    : place_(place), identity_(identity), bus_(bus), model_(flashSize) {}

VirtualPort::~VirtualPort() {
  for (const auto& entry : handles_) {
    g_object_weak_unref(G_OBJECT(entry.first), OnClientGone, this);
  }
  if (handler_) g_object_unref(handler_);
  if (slaveFd_ >= 0) close(slaveFd_);
}

bool VirtualPort::Attach(HidrawTestbed& testbed, std::string& error) {
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(OnWrite), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(OnRead), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(OnConnected), this);
  if (!testbed.AddNode(place_, identity_, handler_, masterFd_, error)) return false;
  // The bell never fills the terminal, but a write must never block the
  // worker thread either.
  SetNonBlocking(masterFd_);
  SetCloseOnExec(masterFd_);
  const char* slaveName = ptsname(masterFd_);
  const int slave = slaveName ? open(slaveName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
  if (slave < 0 || !PlaceBell(slave)) {
    if (slave >= 0) close(slave);
    error = "cannot set up the pseudo-terminal of " + HidrawTestbed::DevNode(place_.node);
    return false;
  }
  return true;
}

bool VirtualPort::PlaceBell(int slave) {
  // A client may open the node already (a board arriving while the command
  // runs): its requests wait until the bell is in place.
  std::lock_guard<std::mutex> hold(bus_.lock);
  // Raw mode: the bell byte stays as written, and VMIN counts for poll().
  if (tcgetattr(slave, &bellMode_) != 0) return false;
  cfmakeraw(&bellMode_);
  bellMode_.c_cc[VTIME] = 0;
  bellMode_.c_cc[VMIN] = kBellRinging;
  const uint8_t bell = 0;
  pollfd arrived{slave, POLLIN, 0};
  // The terminal hands a written byte over a moment later, on a kernel
  // worker; from then on the byte stays and only VMIN changes.
  if (tcsetattr(slave, TCSANOW, &bellMode_) != 0 || write(masterFd_, &bell, 1) != 1 ||
      poll(&arrived, 1, kBellArrivalMs) != 1) {
    return false;
  }
  slaveFd_ = slave;
  bellRinging_ = true;
  UpdateBell();
  return true;
}

void VirtualPort::Detach(HidrawTestbed& testbed) {
  {
    std::lock_guard<std::mutex> hold(bus_.lock);
    if (removed_) return;
    removed_ = true;
    for (auto& entry : handles_) entry.second.input.clear();
    UpdateBell();
  }
  testbed.RemoveNode(place_.node);
}

void VirtualPort::TakeAwayIfUnused() {
  std::lock_guard<std::mutex> hold(bus_.lock);
  // A file open now: its closing asks again.
  if (removalRequested_ || model_.restarted() || !handles_.empty()) return;
  if (SimClock::now() - lastUse_ < bus_.unusedLimit) {
    CheckUnusedLater();  // used again since the check was asked for
    return;
  }
  model_.Unplug();
  RequestRemovalOnce();
}

void VirtualPort::NoteUse(const sim::Report& request, const sim::HandleResult& result) {
  // Only boards that may be taken away unused need their use noted.
  if (bus_.unusedLimit == SimClock::duration::zero()) return;
  if (sim::ClassifyRequest(request) != sim::RequestKind::Probe) {
    used_ = true;
    lastUse_ = SimClock::now();
    return;
  }
  const bool echoed = !result.replies.empty() && result.replies[0].bytes[1] == request[1];
  if (!echoed && !used_) {
    used_ = true;
    lastUse_ = SimClock::now();
  }
}

void VirtualPort::CheckUnusedLater() {
  if (!used_ || bus_.unusedLimit == SimClock::duration::zero() || !bus_.checkUnusedAfter) return;
  const SimClock::duration wait = lastUse_ + bus_.unusedLimit - SimClock::now();
  bus_.checkUnusedAfter(place_.node, std::max(wait, SimClock::duration::zero()));
}

std::vector<uint8_t> VirtualPort::FlashCopy() {
  std::lock_guard<std::mutex> hold(bus_.lock);
  return model_.flash();
}

gboolean VirtualPort::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<VirtualPort*>(self)->HandleIoctl(client);
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

void VirtualPort::OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  VirtualPort& port = *static_cast<VirtualPort*>(self);
  std::lock_guard<std::mutex> hold(port.bus_.lock);
  // Every open of a hidraw node starts with an empty input queue.
  port.handles_[client] = Handle{};
  g_object_weak_ref(G_OBJECT(client), OnClientGone, self);
}

void VirtualPort::OnClientGone(gpointer self, GObject* client) {
  VirtualPort& port = *static_cast<VirtualPort*>(self);
  std::lock_guard<std::mutex> hold(port.bus_.lock);
  // What the file had not read goes with it.
  port.handles_.erase(reinterpret_cast<UMockdevIoctlClient*>(client));
  port.UpdateBell();
  if (!port.handles_.empty()) return;
  if (port.model_.restarted()) {
    port.RequestRemovalOnce();
  } else {
    port.CheckUnusedLater();
  }
}

VirtualPort::Handle* VirtualPort::Listening(UMockdevIoctlClient* client) {
  const auto found = handles_.find(client);
  if (found == handles_.end()) return nullptr;
  Handle& handle = found->second;
  if (!handle.listening) {
    handle.listening = true;
    UpdateBell();  // reports may have come in since it opened
  }
  return &handle;
}

void VirtualPort::HandleIoctl(UMockdevIoctlClient* client) {
  {
    std::lock_guard<std::mutex> hold(bus_.lock);
    Listening(client);
  }
  const gulong request = umockdev_ioctl_client_get_request(client);
  if (request == HIDIOCGRDESCSIZE) {
    const int size = sizeof kReportDescriptor;
    AnswerPointer(client, &size, sizeof size);
  } else if (request == HIDIOCGRDESC) {
    hidraw_report_descriptor descriptor{};
    descriptor.size = sizeof kReportDescriptor;
    std::memcpy(descriptor.value, kReportDescriptor, sizeof kReportDescriptor);
    AnswerPointer(client, &descriptor, sizeof descriptor);
  } else if (request == HIDIOCGRAWINFO) {
    const UsbIdentity identity;
    hidraw_devinfo info{};
    info.bustype = 3;  // BUS_USB
    info.vendor = static_cast<int16_t>(identity.vendorId);
    info.product = static_cast<int16_t>(identity.productId);
    AnswerPointer(client, &info, sizeof info);
  } else {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
  }
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

  bool accepted = false;
  {
    std::lock_guard<std::mutex> hold(bus_.lock);
    Listening(client);
    const size_t traced = model_.trace().size();
    model_.HandleReport(report, scratch_);
    RecordNewRequests(traced);
    if (scratch_.accepted) NoteUse(report, scratch_);
    accepted = scratch_.accepted;
    if (!accepted) {
      RequestRemovalOnce();
    } else {
      SendReplies(scratch_.replies);
      if (model_.restarted() && !removalRequested_) {
        bus_.timer.PostAt(SimClock::now() + kRestartLeaveDelay, [this] {
          std::lock_guard<std::mutex> later(bus_.lock);
          RequestRemovalOnce();
        });
      }
    }
  }
  if (!accepted) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
}

void VirtualPort::HandleRead(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const size_t wanted = arg->data_len > 0 ? static_cast<size_t>(arg->data_len) : 0;
  sim::Report report{};
  bool unplugged = false;
  bool gotReport = false;
  {
    std::lock_guard<std::mutex> hold(bus_.lock);
    unplugged = model_.unplugged();
    Handle* handle = Listening(client);
    if (!unplugged && handle != nullptr && !handle->input.empty()) {
      report = handle->input.front();
      handle->input.pop_front();
      gotReport = true;
      UpdateBell();
    }
  }
  if (unplugged) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  if (!gotReport) {
    // The bell rang for another file's input: nothing to read after all.
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  // Like hidraw: one report per read, cut to the size asked for.
  const size_t count = std::min(wanted, report.size());
  umockdev_ioctl_data_update(arg, 0, report.data(), static_cast<gint>(count));
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
  // A device off the bus sends nothing; with no file open the report is lost.
  if (removed_ || model_.unplugged()) return;
  for (auto& entry : handles_) {
    std::deque<sim::Report>& input = entry.second.input;
    // A full ring loses the new report, as hidraw's does.
    if (input.size() < sim::kInputQueueLimit) input.push_back(report);
  }
  UpdateBell();
}

bool VirtualPort::ListenerHasInput() const {
  for (const auto& entry : handles_) {
    if (entry.second.listening && !entry.second.input.empty()) return true;
  }
  return false;
}

void VirtualPort::UpdateBell() {
  const bool wanted = ListenerHasInput();
  if (wanted == bellRinging_ || slaveFd_ < 0) return;
  // Changing the terminal's settings wakes its pollers at once, in this
  // thread: no byte travels, so no kernel worker stands between the reply
  // and the client's poll().
  bellMode_.c_cc[VMIN] = wanted ? kBellRinging : kBellQuiet;
  if (tcsetattr(slaveFd_, TCSANOW, &bellMode_) == 0) bellRinging_ = wanted;
}

void VirtualPort::RecordNewRequests(size_t alreadyTraced) {
  if (!bus_.tracing) return;
  const auto& trace = model_.trace();
  for (size_t i = alreadyTraced; i < trace.size(); ++i) {
    bus_.trace.push_back(sim::FormatTraceLine(place_.node, trace[i]));
  }
}

void VirtualPort::RequestRemovalOnce() {
  if (removalRequested_) return;
  removalRequested_ = true;
  if (bus_.requestRemoval) bus_.requestRemoval(place_.node);
}

}  // namespace orvel_sim
