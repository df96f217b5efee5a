#include "os/progress_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/server_process.h"
#include "tests/test_util.h"

// Rounded down, so that a step is never shown as further than it is, and
// never a tenth of 10 at a unit's end.
TEST(ProgressText, SaysPercentAndSizesAsPeopleReadThem) {
  struct {
    uint64_t done, total;
    std::string text;
  } cases[] = {
      {0, 0, "Step: 0 B"},
      {1023, 0, "Step: 1023 B"},
      {1024, 0, "Step: 1.0 KiB"},
      {1535, 0, "Step: 1.4 KiB"},
      {2047, 0, "Step: 1.9 KiB"},
      {1048575, 0, "Step: 1023.9 KiB"},
      {20975100, 0, "Step: 20.0 MiB"},
      {UINT64_MAX, 0, "Step: 15.9 EiB"},
      {0, 1, "Step: 0% (0 B of 1 B)"},
      {199, 200, "Step: 99% (199 B of 200 B)"},
      {10487550, 20975100, "Step: 50% (10.0 MiB of 20.0 MiB)"},
      {300, 200, "Step: 100% (300 B of 200 B)"},
      {UINT64_MAX / 2, UINT64_MAX, "Step: 50% (7.9 EiB of 15.9 EiB)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, progressText("Step", c.done, c.total)) << c.done;
}

// Standard error as a run may have it: the far end of a pseudo-terminal, or
// a pipe; while one lives, this process's standard error is it.
class StderrAs {
 public:
  explicit StderrAs(bool terminal) : saved_(dup(STDERR_FILENO)) {
    int ends[2] = {-1, -1};
    if (terminal) {
      ends[0] = posix_openpt(O_RDWR | O_NOCTTY);
      const bool opened = ends[0] >= 0 && grantpt(ends[0]) == 0 && unlockpt(ends[0]) == 0;
      const char* name = opened ? ptsname(ends[0]) : nullptr;
      ends[1] = name != nullptr ? open(name, O_RDWR | O_NOCTTY) : -1;  // no line ends to translate
    } else if (pipe(ends) != 0) {
      ends[0] = ends[1] = -1;
    }
    EXPECT_LE(0, ends[1]);
    reader_ = ends[0];
    fcntl(reader_, F_SETFL, O_NONBLOCK);
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
  }
  ~StderrAs() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(reader_);
  }
  StderrAs(const StderrAs&) = delete;
  StderrAs& operator=(const StderrAs&) = delete;

  /// All written so far.
  std::string written() {
    char buffer[4096];
    for (ssize_t got; (got = read(reader_, buffer, sizeof buffer)) > 0;) output_.append(buffer, got);
    return output_;
  }

 private:
  int saved_, reader_ = -1;
  std::string output_;
};

// Drawn only on a terminal that can move the cursor back: a log, a pipe or
// TERM=dumb gets not one byte.
TEST(ProgressLine, IsDrawnOnlyOnATerminalThatCanRewriteIt) {
  struct {
    bool terminal;
    std::optional<std::string> term;
    bool shown;
  } rows[] = {
      {true, "xterm", true}, {true, std::nullopt, true}, {true, "dumb", false}, {false, "xterm", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.terminal ? "terminal, TERM=" : "pipe, TERM=") + row.term.value_or("(unset)"));
    ScopedEnv term("TERM", row.term);
    StderrAs stderrAs(row.terminal);
    {
      ProgressLine line("Step");
      EXPECT_EQ(row.shown, line.shown());
      if (row.shown) {
        ASSERT_TRUE(waitUntil([&] { return line.due(); }, 30000));
        line.update(1, 2);
      }
    }
    EXPECT_EQ(row.shown, !stderrAs.written().empty());
  }
}

// A shorter line drawn over a longer one blanks the rest, and clearing
// leaves the cursor at the start of a blank line.
TEST(ProgressLine, ShorterLineBlanksWhatWasLeftOfTheLonger) {
  ScopedEnv term("TERM", std::string("xterm"));
  StderrAs stderrAs(true);
  std::string afterLonger;
  {
    ProgressLine line("Step");
    ASSERT_TRUE(waitUntil([&] { return line.due(); }, 30000));
    line.update(10487550, 20975100);
    afterLonger = stderrAs.written();
    ASSERT_TRUE(waitUntil([&] { return line.due(); }, 30000));
    line.update(0, 0);
  }
  const std::string longer = "\r" + progressText("Step", 10487550, 20975100);
  const std::string shorter = progressText("Step", 0, 0);
  EXPECT_EQ(longer, afterLonger);
  const std::string all = stderrAs.written();
  EXPECT_EQ(longer + "\r" + shorter + std::string(longer.size() - 1 - shorter.size(), ' ') + "\r" +
                std::string(longer.size() - 1, ' ') + "\r",
            all);
}
