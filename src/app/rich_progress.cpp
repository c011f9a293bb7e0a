#include "app/rich_progress.h"

#include <cstdio>
#include <vector>

#include "common/reason.h"
#include "console/output.h"

namespace {

const char* StepWord(JobStep step) {
  switch (step) {
    case JobStep::Erase:
      return UiLanguage != 0 ? "erase" : "擦除";
    case JobStep::Download:
      return UiLanguage != 0 ? "download" : "下载";
    case JobStep::Verify:
      return UiLanguage != 0 ? "verify" : "校验";
    case JobStep::Read:
      return UiLanguage != 0 ? "read" : "读取";
    default:
      return "";
  }
}

// Columns on a terminal: the Chinese texts' characters (full-width
// punctuation included) take two, ASCII one.
size_t ScreenWidth(const std::string& utf8) {
  size_t width = 0;
  for (const unsigned char c : utf8) {
    if (c < 0x80) {
      ++width;
    } else if (c >= 0xC0) {
      width += 2;
    }
  }
  return width;
}

std::string OneDecimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

}  // namespace

RichProgressView::RichProgressView(std::ostream& out, bool terminal, TickSource& clock)
    : out_(out), terminal_(terminal), clock_(clock), stepStart_(clock.Now()), lastWrite_(stepStart_) {}

std::string RichProgressView::Text(JobStep step, uint64_t done, uint64_t total, int32_t elapsedMs) {
  const bool english = UiLanguage != 0;
  const uint64_t percent = total == 0 ? 100 : done * 100 / total;
  std::vector<std::string> args = {StepWord(step), std::to_string(done), std::to_string(total),
                                   std::to_string(percent)};
  std::string text = english ? "{0}: {1} of {2} bytes ({3}%)" : "{0}：{1}/{2} 字节（{3}%）";
  if (done > 0 && elapsedMs > 0) {
    const double bytesPerMs = static_cast<double>(done) / elapsedMs;
    const uint64_t msLeft = static_cast<uint64_t>(static_cast<double>(total - done) / bytesPerMs);
    args.push_back(OneDecimal(bytesPerMs * 1000.0 / 1024.0));
    args.push_back(std::to_string((msLeft + 999) / 1000));
    text += english ? ", {4} KB/s, {5} s left" : "，{4} KB/秒，剩余 {5} 秒";
  }
  return FillReasonTemplate(text, args);
}

void RichProgressView::StepStarted(JobStep step, uint64_t total) {
  step_ = step;
  done_ = 0;
  total_ = total;
  stepStart_ = clock_.Now();
  // An erase shows at once: its first count comes only once a region is
  // erased, which can take seconds.
  if (total > 0 && terminal_) Draw(true);
}

void RichProgressView::Progress(const JobProgress& progress) {
  done_ = progress.stepDone;
  total_ = progress.stepTotal;
  Draw(done_ == total_);
}

void RichProgressView::Draw(bool now) {
  const int32_t at = clock_.Now();
  const int32_t sinceWrite = TicksBetween(lastWrite_, at);
  if (terminal_ && !now && shownWidth_ > 0 && sinceWrite < kRedrawMs) return;
  if (!terminal_ && sinceWrite < kPlainLineMs) return;
  lastWrite_ = at;
  const std::string text = Text(step_, done_, total_, TicksBetween(stepStart_, at));
  if (!terminal_) {
    out_ << "orvel-dfu: " << ToConsoleEncoding(text) << '\n' << std::flush;
    return;
  }
  const size_t width = ScreenWidth(text);
  // Blanks over what is left of a longer line before.
  const std::string blanks(shownWidth_ > width ? shownWidth_ - width : 0, ' ');
  out_ << '\r' << ToConsoleEncoding(text) << blanks << std::flush;
  shownWidth_ = width + blanks.size();
}

void RichProgressView::EndLine() {
  if (shownWidth_ == 0) return;
  out_ << '\n' << std::flush;
  shownWidth_ = 0;
}

void RichProgressView::ClearLine() {
  if (shownWidth_ == 0) return;
  out_ << '\r' << std::string(shownWidth_, ' ') << '\r' << std::flush;
  shownWidth_ = 0;
}
