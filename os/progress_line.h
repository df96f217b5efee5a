#ifndef KV_OS_PROGRESS_LINE_H_
#define KV_OS_PROGRESS_LINE_H_

#include <cstddef>
#include <cstdint>
#include <string>

/// A progress line is drawn at most once in this many milliseconds, and
/// first when a step has run this long: a short step shows nothing.
inline constexpr int64_t kProgressIntervalMs = 250;

/// One line on standard error that tells how far a long step has come,
/// rewritten in place, and taken away again so that whatever is written next
/// starts on a clean line. It is drawn only when standard error is a terminal
/// whose TERM is not "dumb": a log or a pipe gets not one byte of it.
class ProgressLine {
 public:
  /// `label` says what the step does, as in "Unpacking the installer".
  explicit ProgressLine(const char* label);
  ~ProgressLine() { clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  /// Whether the line is drawn at all, settled when it is made.
  bool shown() const { return shown_; }
  /// Whether update() would draw now.
  bool due() const;
  /// `done` bytes of `total` (0: not known), drawn when due().
  void update(uint64_t done, uint64_t total);
  /// Takes the line away; a later update() draws it again.
  void clear();

 private:
  const char* label_;
  bool shown_;
  size_t drawnWidth_ = 0;
  int64_t dueMs_;
};

/// What the line says: "<label>: 45% (483.2 MiB of 1.0 GiB)", or, without a
/// known total, "<label>: 483.2 MiB" (sizes as bytesForHumans() gives them).
std::string progressText(const char* label, uint64_t done, uint64_t total);

#endif  // KV_OS_PROGRESS_LINE_H_
