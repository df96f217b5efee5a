#include "os/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/byte_count.h"
#include "os/clock.h"
#include "os/file_descriptor.h"

namespace {

// Wider than any line drawn: a label, a percentage and two sizes.
constexpr size_t kMaxWidth = 120;

// A terminal that cannot move the cursor says so with TERM=dumb (an editor's
// shell buffer, say); there a rewritten line would pile up.
bool stderrTakesProgress() {
  const char* term = getenv("TERM");
  return isatty(STDERR_FILENO) == 1 && (term == nullptr || strcmp(term, "dumb") != 0);
}

// A line as wide as the terminal would wrap, and the carriage return would
// then rewrite its last row alone.
size_t widthThatFits(size_t width) {
  struct winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && width >= size.ws_col)
    return size.ws_col - 1u;
  return width;
}

// A terminal that went away takes the line with it: nothing to do about it.
void writeToStderr(const char* text, size_t size) {
  static_cast<void>(writeFully(STDERR_FILENO, text, size));
}

}  // namespace

ProgressLine::ProgressLine(const char* label)
    : label_(label), shown_(stderrTakesProgress()), dueMs_(monotonicMs() + kProgressIntervalMs) {}

bool ProgressLine::due() const { return shown_ && monotonicMs() >= dueMs_; }

void ProgressLine::update(uint64_t done, uint64_t total) {
  if (!due()) return;
  char line[1 + kMaxWidth] = {'\r'};
  const std::string text = progressText(label_, done, total);
  const size_t width = widthThatFits(text.size() < kMaxWidth ? text.size() : kMaxWidth);
  text.copy(line + 1, width);
  // Blanks over what is left of a longer line before.
  const size_t drawn = width > drawnWidth_ ? width : drawnWidth_;
  memset(line + 1 + width, ' ', drawn - width);
  writeToStderr(line, 1 + drawn);
  drawnWidth_ = drawn;
  dueMs_ = monotonicMs() + kProgressIntervalMs;
}

void ProgressLine::clear() {
  if (drawnWidth_ == 0) return;
  char blank[1 + kMaxWidth + 1];
  memset(blank, ' ', sizeof blank);
  blank[0] = '\r';
  blank[1 + drawnWidth_] = '\r';
  writeToStderr(blank, drawnWidth_ + 2);
  drawnWidth_ = 0;
}

std::string progressText(const char* label, uint64_t done, uint64_t total) {
  char text[kMaxWidth + 1];
  if (total == 0) {
    snprintf(text, sizeof text, "%s: %s", label, bytesForHumans(done).c_str());
    return text;
  }
  // Percent of counts up to 2^64, without overflowing on the way.
  const uint64_t percent =
      done >= total ? 100 : (total > UINT64_MAX / 100 ? done / (total / 100) : done * 100 / total);
  snprintf(text, sizeof text, "%s: %llu%% (%s of %s)", label,
           static_cast<unsigned long long>(percent), bytesForHumans(done).c_str(),
           bytesForHumans(total).c_str());
  return text;
}
