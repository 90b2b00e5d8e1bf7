// Tests of the progress texts and of the reporter's silence when disabled;
// the terminal itself is exercised by tests/check_progress.sh under a pty.
#include "packer/progress.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vorbel::pack {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(ProgressText, ShowsTheCompressedShareTheTimeAndAnEstimateOnceItMeansSomething) {
  struct Case {
    uint64_t compressed, total;
    ProgressClock::duration elapsed;
    const char* text;
  };
  const Case cases[] = {
      {0, 300'000'000, milliseconds(0), "packing: 0% of 300.0 MB compressed, 0:00"},
      {2'999'999, 100'000'000, seconds(9), "packing: 2% of 100.0 MB compressed, 0:09"},            // too little done
      {50'000'000, 100'000'000, milliseconds(2999), "packing: 50% of 100.0 MB compressed, 0:02"},  // too early
      {25'000'000, 100'000'000, seconds(20), "packing: 25% of 100.0 MB compressed, 0:20, about 1:00 left"},
      {99'999'999, 100'000'000, seconds(89), "packing: 99% of 100.0 MB compressed, 1:29, about 0:00 left"},
      {100'000'000, 100'000'000, seconds(90), "packing: 100% of 100.0 MB compressed, 1:30"},
      {200, 100, seconds(1), "packing: 100% of 0.0 MB compressed, 0:01"},  // never above 100
      {0, 0, seconds(0), "packing: 100% of 0.0 MB compressed, 0:00"},
      {1, 2, seconds(3725), "packing: 50% of 0.0 MB compressed, 1:02:05, about 1:02:05 left"},
  };
  for (const Case& c : cases) EXPECT_EQ(progress_text(c.compressed, c.total, c.elapsed), c.text);
}

TEST(ProgressText, LastLineGivesTheOutputSizeAndItsShare) {
  EXPECT_EQ(final_text(3233, 87'419'535, 23'892'480, seconds(25)),
            "packed 3233 files, 87.4 MB, into 23.9 MB (27.3%) in 0:25");
  EXPECT_EQ(final_text(1, 0, 154'112, seconds(0)), "packed 1 file, 0.0 MB, into 0.2 MB in 0:00");
}

TEST(CompressionText, SaysLevelWindowWorkersAndWhyFewerThanThreads) {
  EXPECT_EQ(compression_text(19, 23, 1, 4), "packing at level 19, window 8 MiB, 1 worker (of 4 threads, for memory)");
  EXPECT_EQ(compression_text(3, 21, 2, 2), "packing at level 3, window 2 MiB, 2 workers");
  EXPECT_EQ(compression_text(1, 17, 1, 1), "packing at level 1, window 128 KiB, 1 worker");
  EXPECT_EQ(compression_text(22, 30, 8, 8), "packing at level 22, window 1 GiB, 8 workers");
  EXPECT_EQ(compression_text(19, 23, 0, 1), "packing at level 19, window 8 MiB, one thread, no workers (of 1 thread, for memory)");
}

TEST(ProgressReporter, WritesNothingWhenDisabled) {
  std::ostringstream err;
  {
    ProgressReporter progress(err, false, 1000, 2, "packing at level 1");
    progress.compressed(500);
    progress.finish(800);
    progress.abandon();
  }
  EXPECT_EQ(err.str(), "");
}

TEST(ProgressReporter, DrawsAFirstLineAtOnceAndEndsWithTheFinalLine) {
  std::ostringstream err;
  ProgressReporter progress(err, true, 2'000'000, 2, "packing at level 1");
  progress.compressed(1'000'000);
  progress.finish(500'000);
  const std::string text = err.str();
  EXPECT_EQ(text.rfind("packing at level 1\n\rpacking: ", 0), 0u) << text;
  const size_t last = text.rfind("\rpacked 2 files, 2.0 MB, into 0.5 MB (25.0%) in 0:0");
  ASSERT_NE(last, std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');
}

TEST(ProgressReporter, AbandonedLineMakesRoomForAMessage) {
  std::ostringstream err;
  ProgressReporter progress(err, true, 100, 1, "packing at level 1");
  progress.abandon();
  EXPECT_EQ(err.str().back(), '\n');
  EXPECT_EQ(err.str().find("packed"), std::string::npos);
}

}  // namespace
}  // namespace vorbel::pack
