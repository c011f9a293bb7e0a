#include "dfu/failure_reasons.h"

#include <cstdio>
#include <utility>

#include "device/hid_link.h"

namespace {

// The template with every {N} made {N + by}.
std::string ShiftPlaceholders(const std::string& text, size_t by) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!IsPlaceholderAt(text, i)) {
      out += text[i];
      continue;
    }
    out += '{' + std::to_string(static_cast<size_t>(text[i + 1] - '0') + by) + '}';
    i += 2;
  }
  return out;
}

}  // namespace

std::string HexBytes(const uint8_t* bytes, size_t count) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(bytes[i]));
    if (i > 0) text += ' ';
    text += pair;
  }
  return text;
}

bool AddStopped(Reasons* why, std::string english, std::string chinese, std::vector<std::string> args) {
  AddError(why, std::move(english), std::move(chinese), std::move(args));
  TagLastReason(why, ReasonKind::Stopped);
  return false;
}

void AddLinkFailure(Reasons* why, const LinkFailure& failure, int32_t timeoutMs) {
  switch (failure.kind) {
    case LinkFailure::Kind::WriteFailed:
      AddError(why, "the device is gone: writing to it failed ({0})",
               "设备已断开：写入失败（{0}）", {failure.detail});
      break;
    case LinkFailure::Kind::ReadFailed:
      AddError(why, "the device is gone: reading from it failed ({0})",
               "设备已断开：读取失败（{0}）", {failure.detail});
      break;
    case LinkFailure::Kind::NotOpen:
      AddError(why, "the device is no longer open after an earlier failure",
               "设备在之前的失败后已关闭");
      break;
    default:
      AddError(why, "no reply within {0} ms", "{0} 毫秒内没有应答", {std::to_string(timeoutMs)});
      TagLastReason(why, ReasonKind::NoReply);
      return;
  }
  TagLastReason(why, ReasonKind::DeviceGone);
}

void AddWrongReply(Reasons* why, ExpectedReply expected, const std::string& expectedBytes,
                   const uint8_t* received, size_t count) {
  const std::string bytes = HexBytes(received, count);
  switch (expected) {
    case ExpectedReply::Echo:
      AddError(why, "the bootloader's reply was not the echo of the request: expected {0}, received {1}",
               "bootloader 的应答不是请求的回显：应为 {0}，收到 {1}", {expectedBytes, bytes});
      break;
    case ExpectedReply::DataAccepted:
      AddError(why, "the bootloader did not accept the data: expected 1A 70 or 1A 71, received {1}",
               "bootloader 没有接受数据：应为 1A 70 或 1A 71，收到 {1}", {expectedBytes, bytes});
      break;
    case ExpectedReply::FlashData:
      AddError(why, "the bootloader's reply was not the flash data asked for: expected {0}, received {1}",
               "bootloader 的应答不是所请求的 Flash 数据：应为 {0}，收到 {1}", {expectedBytes, bytes});
      break;
  }
  TagLastReason(why, ReasonKind::WrongReply);
}

void AddInContext(Reasons* why, const Reasons& happened, const std::string& english,
                  const std::string& chinese, const std::vector<std::string>& args) {
  if (why == nullptr) return;
  for (const Reason& reason : happened) {
    Reason line = reason;
    line.english = english + ShiftPlaceholders(reason.english, args.size());
    line.chinese = chinese + ShiftPlaceholders(reason.chinese, args.size());
    line.args = args;
    line.args.insert(line.args.end(), reason.args.begin(), reason.args.end());
    line.utf8Args = args.size() < 32 ? reason.utf8Args << args.size() : 0;
    why->push_back(std::move(line));
  }
}
