// Tests of the workers chosen from the compressor's memory estimate: within
// the budget and the threads asked for, as many as fit, and the budget only
// where it applies. That fewer workers give the same bytes is tested with the
// payload writer.
#include "packer/compressor_memory.h"

#include <gtest/gtest.h>

namespace vorbel::pack {
namespace {

constexpr uint64_t MB = 1'000'000;

TEST(CompressionPlan, TakesTheMostWorkersThatFitTheBudgetUpToTheThreadsAsked) {
  for (int level = kMinLevel; level <= kDefaultLevel; ++level) {
    for (int threads : {1, 2, 3, 4, 8, 64, kMaxThreads}) {
      for (uint64_t content : {MB, 60 * MB, 200 * MB, 1000 * MB, 2100 * MB}) {
        const CompressionSettings settings = {.level = level, .threads = threads};
        const CompressionPlan plan = plan_compression(settings, content);
        const std::string what = "level " + std::to_string(level) + ", " + std::to_string(threads) + " threads, " +
                                 std::to_string(content / MB) + " MB";
        ASSERT_TRUE(plan.bounded) << what;
        ASSERT_LE(plan.workers, threads) << what;
        EXPECT_EQ(plan.estimated_bytes, estimated_compressor_bytes(settings, content, plan.workers)) << what;
        EXPECT_LE(plan.estimated_bytes + kProcessAllowance, kPackMemoryBudget) << what;
        // Whether the frame is single-threaded must not depend on the threads.
        EXPECT_EQ(plan.workers == 0, plan_compression({.level = level, .threads = 1}, content).workers == 0) << what;
        if (plan.workers < threads) {
          EXPECT_GT(estimated_compressor_bytes(settings, content, plan.workers + 1) + kProcessAllowance,
                    kPackMemoryBudget)
              << what;
        }
      }
    }
  }
}

TEST(CompressionPlan, KnowsTheDefaultLevelsWindowAndJobs) {
  // Level 19 declares an 8 MiB window and compresses in 32 MiB jobs: on
  // 60 MB one worker (an 81 MiB context, the input and two output buffers),
  // as a second would add a context, a job and a buffer; past 128 MiB a
  // worker's ring of four jobs alone is 128 MiB, and no worker fits.
  const CompressionPlan plan = plan_compression({.threads = 8}, 60 * MB);
  EXPECT_EQ(plan.window_log, 23);
  EXPECT_EQ(plan.job_bytes, uint64_t{32} << 20);
  EXPECT_EQ(plan.workers, 1);
  EXPECT_EQ(plan_compression({.threads = 8}, 200 * MB).workers, 0);
  EXPECT_EQ(plan_compression({.threads = 1}, 200 * MB).workers, 0);
  // A payload smaller than the window gets a window of its size.
  EXPECT_EQ(plan_compression({.threads = 8}, MB).window_log, 20);
  // At level 3 there is room for every thread of a common machine.
  EXPECT_EQ(plan_compression({.level = 3, .threads = 8}, 1000 * MB).workers, 8);
}

TEST(CompressionPlan, LeavesTheHighestLevelsAndLongMatchingUnbounded) {
  const CompressionSettings cases[] = {
      {.level = 20, .threads = 4}, {.level = 22, .threads = 4}, {.level = 19, .long_window_log = 27, .threads = 4}};
  for (const CompressionSettings& settings : cases) {
    const CompressionPlan plan = plan_compression(settings, 1000 * MB);
    EXPECT_FALSE(plan.bounded) << settings.level;
    EXPECT_EQ(plan.workers, 4) << settings.level;
  }
}

}  // namespace
}  // namespace vorbel::pack
