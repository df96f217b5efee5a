#include "os/shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(QuoteIfNeeded, LeavesPlainTextsAndQuotesTheRest) {
  struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"/tmp/kvAbC123", "/tmp/kvAbC123"},
      {"a-b_c.d/e:f,g+h=i@j%k", "a-b_c.d/e:f,g+h=i@j%k"},
      {"/home/jos\xc3\xa9/x", "/home/jos\xc3\xa9/x"},
      {"/home/a b/x", "\"/home/a b/x\""},
      {"tab\there", "\"tab\there\""},
      {"", "''"},
      {"setup(1).bin", "'setup(1).bin'"},
      {"it's.run", "'it'\\''s.run'"},
      {"a$b.run", "'a$b.run'"},
      {"a b$c", "'a b$c'"},
      {"\"quoted\"", "'\"quoted\"'"},
      {"~user", "'~user'"},
      {"*", "'*'"},
      {"line\nbreak", "'line\nbreak'"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, quoteIfNeeded(c.in)) << "input: " << c.in;
}

// Whatever bytes a text holds, the shell must hand it on as one word, unchanged.
TEST(QuoteIfNeeded, ShellReadsBackExactlyTheSameWord) {
  std::vector<std::string> texts = {"", " ", "\t", "'", "''", "\"", "\\", "$(touch x)", "`id`",
                                    "a;b", "a|b", "a&b", "*", "?", "[a]", "~", "~/x", "!", "#x",
                                    "x#", "a\nb", "{a,b}", "$HOME", "${x:-y}", "-n", "-e", "--",
                                    "=x", "x=y z", "\xff\xfe", "a \"b\" 'c'"};
  std::mt19937 random(12345);
  for (int i = 0; i < 300; ++i) {
    std::string text;
    size_t length = random() % 24;
    for (size_t j = 0; j < length; ++j) text += static_cast<char>(1 + random() % 255);  // no NUL
    texts.push_back(text);
  }

  std::string script = "printf '%s\\000'";
  for (const std::string& text : texts) script += " " + quoteIfNeeded(text);
  ProcessResult result = runProcess({{"/bin/sh", "-c", script}, {}, {}, "", ""});
  ASSERT_EQ(0, result.exitCode) << result.err;

  std::vector<std::string> words;
  size_t start = 0;
  for (size_t end; (end = result.out.find('\0', start)) != std::string::npos; start = end + 1)
    words.push_back(result.out.substr(start, end - start));
  ASSERT_EQ(texts.size(), words.size());
  for (size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(texts[i], words[i]) << "quoted as: " << quoteIfNeeded(texts[i]);
}

TEST(ChildOutcome, DecodesHowTheShellEnded) {
  EXPECT_TRUE(ChildOutcome::fromWaitStatus(runShellCommand("exit 0")).exitedWith(0));
  EXPECT_TRUE(ChildOutcome::fromWaitStatus(runShellCommand("exit 9")).exitedWith(9));
  EXPECT_TRUE(ChildOutcome::fromWaitStatus(runShellCommand("no-such-command-here 2>/dev/null"))
                  .exitedWith(127));

  ChildOutcome killed = ChildOutcome::fromWaitStatus(runShellCommand("kill -TERM $$"));
  EXPECT_EQ(ChildOutcome::kSignaled, killed.kind);
  EXPECT_EQ(SIGTERM, killed.value);

  EXPECT_EQ(ChildOutcome::kNotStarted, ChildOutcome::fromWaitStatus(-1).kind);
  // A process that is no child of ours cannot be waited for: not a clean exit.
  EXPECT_EQ(ChildOutcome::kNotStarted,
            ChildOutcome::fromWaitStatus(waitForChild(getppid(), OnInterrupt::kKeepWaiting)).kind);
}

// Every command line passes the kernel's limit for one string first: one
// byte more is never handed to a shell, and reads as not started.
TEST(RunShellCommand, LineBeyondTheKernelLimitNeverStarts) {
  ScopedTempDir tmp;
  const std::string touch = "touch " + (tmp / "ran") + " #";
  for (size_t extra : {0, 1}) {
    const std::string line =
        touch + std::string(kMaxCommandLineBytes - 1 + extra - touch.size(), 'x');
    for (bool ownLines : {false, true}) {
      SCOPED_TRACE(std::to_string(extra) + (ownLines ? " on own lines" : ""));
      int status = ownLines ? runShellCommandOnOwnLines(line, CommandInput::kNone)
                            : runShellCommand(line);
      EXPECT_EQ(extra == 0 ? ChildOutcome::kExited : ChildOutcome::kNotStarted,
                ChildOutcome::fromWaitStatus(status).kind);
      EXPECT_EQ(extra == 0, fileExists(tmp / "ran"));
      unlink((tmp / "ran").c_str());
    }
  }
}

namespace {

// Notes what it is told; its first tick lets the command go on, through a fifo.
struct RecordingWatch {
  std::string fifo;
  std::string events;
  bool released = false;

  static void tick(void* context) {
    auto* watch = static_cast<RecordingWatch*>(context);
    watch->events += 't';
    if (watch->released) return;
    // Only once the command waits at the fifo's other end.
    const int fd = open(watch->fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    watch->released = write(fd, "\n", 1) == 1;
    close(fd);
  }
  static void hide(void* context) { static_cast<RecordingWatch*>(context)->events += 'h'; }
};

}  // namespace

// A watched command's output passes exactly as an unwatched one's; the watch
// is ticked while the command waits, never while a line of its is open (a
// question it asks: there the command is given a second to be let go on),
// and has hidden itself at the end.
TEST(RunShellCommandOnOwnLines, WatchIsTickedBetweenTheCommandsLinesAndHidesAtTheEnd) {
  ScopedTempDir tmp;
  const std::string fifo = tmp / "go";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  struct {
    const char* what;
    std::string command, err;
    bool ticked;  ///< between the first output and the next
  } rows[] = {
      {"between lines", "printf 'one\\n' >&2; read x < " + fifo + "; printf 'two' >&2", "one\ntwo\n", true},
      {"while a line is open",
       "printf 'ask? ' >&2; timeout 1 sh -c 'read x < " + fifo + "'; printf '\\n' >&2", "ask? \n", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    RecordingWatch watch{fifo, "", false};
    const CommandWatch hooks{RecordingWatch::tick, RecordingWatch::hide, &watch};
    testing::internal::CaptureStderr();
    const int status = runShellCommandOnOwnLines(row.command, CommandInput::kNone, &hooks);
    EXPECT_EQ(row.err, testing::internal::GetCapturedStderr());
    EXPECT_TRUE(ChildOutcome::fromWaitStatus(status).exitedWith(0));
    ASSERT_FALSE(watch.events.empty());
    EXPECT_EQ('h', watch.events.back()) << watch.events;
    // From the hiding before the first output to the one before the next.
    const size_t first = watch.events.find('h');
    const std::string betweenOutputs = watch.events.substr(first, watch.events.find('h', first + 1) - first);
    EXPECT_EQ(row.ticked, betweenOutputs.find('t') != std::string::npos) << watch.events;
  }
}
