#include "os/progress_line.h"

#include <string>

#include <gtest/gtest.h>

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
