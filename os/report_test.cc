#include "os/report.h"

#include <gtest/gtest.h>

TEST(InternalErrorMessage, WritesTheFourAheadOfTheCode) {
  EXPECT_EQ("Interal error: Failed to initialize application installer (4201)",
            internalErrorMessage(kPayloadExtractionFailed));
  EXPECT_EQ("Interal error: Failed to initialize application installer (4221)",
            internalErrorMessage(kAgentUnpackFailed));
  EXPECT_EQ("Interal error: Failed to initialize application installer (4230)",
            internalErrorMessage(kLaunchFailed));
}

TEST(ReportLine, WritesOneWholeLineToTheChosenStream) {
  testing::internal::CaptureStderr();
  reportLine(std::string("with\0nul", 8), true);
  EXPECT_EQ(std::string("with\0nul\n", 9), testing::internal::GetCapturedStderr());

  testing::internal::CaptureStdout();
  reportLine("to standard output", false);
  EXPECT_EQ("to standard output\n", testing::internal::GetCapturedStdout());
}
