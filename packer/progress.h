// The build command's progress on a terminal: a first line with how the
// payload is compressed, a line redrawn in place with the share compressed so
// far and the time taken, and a last line with the output's size. Silent when
// standard error is no terminal.
// Tested by progress_test.cpp (the texts, and silence when disabled).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace vorbel::pack {

using ProgressClock = std::chrono::steady_clock;

// "1:05", or "1:02:05" from an hour on.
std::string clock_time(ProgressClock::duration elapsed);

// "packing at level 19, window 8 MiB, 1 worker (of 4 threads, for memory)";
// the part in brackets only when memory allowed fewer workers than threads,
// or none ("one thread, no workers").
// Apart from the redrawn line, so that that one stays short of a line's width.
std::string compression_text(int level, int window_log, int workers, int threads);

// "packing: 45% of 300.0 MB compressed, 0:41, about 0:50 left"; the estimate
// appears once there is enough behind it to mean something.
std::string progress_text(uint64_t compressed, uint64_t total, ProgressClock::duration elapsed);

// "packed 3 files, 300.0 MB, into 80.1 MB (26.7%) in 1:29"
std::string final_text(size_t files, uint64_t content_bytes, uint64_t output_bytes, ProgressClock::duration elapsed);

// Draws progress_text from a thread of its own, so the line keeps coming while
// the compressing thread waits inside the compressor: the first line at once,
// then every half second. compressed() is the only call from that other thread.
class ProgressReporter {
 public:
  // `total`: the payload's content bytes; `files`: how many entries it holds;
  // `heading`: the first line, compression_text's.
  ProgressReporter(std::ostream& err, bool enabled, uint64_t total, size_t files, std::string heading);
  ~ProgressReporter();
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  void compressed(uint64_t bytes) { compressed_.store(bytes, std::memory_order_relaxed); }

  // Ends the redrawing; the line is left for a message or the final text.
  void stop();
  // The last line, in place of the progress line.
  void finish(uint64_t output_bytes);
  // Leaves the progress line as it is and moves to a new line for a message.
  void abandon();

 private:
  void run();
  void draw(const std::string& text);

  std::ostream& err_;
  const bool enabled_;
  const uint64_t total_;
  const size_t files_;
  const std::string heading_;
  const ProgressClock::time_point start_;
  std::atomic<uint64_t> compressed_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  size_t drawn_width_ = 0;
  std::thread thread_;
};

}  // namespace vorbel::pack
