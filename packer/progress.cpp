// The build command's progress line; see progress.h. Only the drawing thread
// writes to the stream until stop() has joined it; texts are pure functions.
#include "packer/progress.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace vorbel::pack {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(500);

std::string megabytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

}  // namespace

std::string clock_time(ProgressClock::duration elapsed) {
  long long seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  if (seconds < 0) seconds = 0;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  }
  return text;
}

std::string compression_text(int level, int window_log, int workers, int threads) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = std::min(window_log / 10, 3);
  std::string text = "packing at level " + std::to_string(level) + ", window " +
                     std::to_string(uint64_t{1} << (window_log - 10 * unit)) + " " + units[unit] + ", " +
                     (workers == 0 ? "one thread, no workers"
                                   : std::to_string(workers) + (workers == 1 ? " worker" : " workers"));
  if (workers < threads || workers == 0) {
    text += " (of " + std::to_string(threads) + (threads == 1 ? " thread" : " threads") + ", for memory)";
  }
  return text;
}

std::string progress_text(uint64_t compressed, uint64_t total, ProgressClock::duration elapsed) {
  if (compressed > total) compressed = total;
  // Whole percents, rounded down: 100% only when everything is compressed.
  const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(compressed * 100 / total);
  std::string text =
      "packing: " + std::to_string(percent) + "% of " + megabytes(total) + " compressed, " + clock_time(elapsed);
  // Compression speed is steady enough over a run for a linear estimate, once
  // a few seconds and a few percent lie behind it.
  if (percent >= 3 && percent < 100 && elapsed >= std::chrono::seconds(3)) {
    auto left = elapsed * static_cast<double>(total - compressed) / static_cast<double>(compressed);
    text += ", about " + clock_time(std::chrono::duration_cast<ProgressClock::duration>(left)) + " left";
  }
  return text;
}

std::string final_text(size_t files, uint64_t content_bytes, uint64_t output_bytes, ProgressClock::duration elapsed) {
  char ratio[32] = "";
  if (content_bytes != 0) {
    std::snprintf(ratio, sizeof ratio, " (%.1f%%)",
                  100.0 * static_cast<double>(output_bytes) / static_cast<double>(content_bytes));
  }
  return "packed " + std::to_string(files) + (files == 1 ? " file, " : " files, ") + megabytes(content_bytes) +
         ", into " + megabytes(output_bytes) + ratio + " in " + clock_time(elapsed);
}

ProgressReporter::ProgressReporter(std::ostream& err, bool enabled, uint64_t total, size_t files, std::string heading)
    : err_(err),
      enabled_(enabled),
      total_(total),
      files_(files),
      heading_(std::move(heading)),
      start_(ProgressClock::now()) {
  if (enabled_) thread_ = std::thread([this] { run(); });
}

ProgressReporter::~ProgressReporter() { stop(); }

void ProgressReporter::run() {
  std::unique_lock lock(mutex_);
  err_ << heading_ << '\n';
  for (;;) {
    draw(progress_text(compressed_.load(std::memory_order_relaxed), total_, ProgressClock::now() - start_));
    if (wake_.wait_for(lock, kRedrawEvery, [this] { return stopping_; })) return;
  }
}

void ProgressReporter::draw(const std::string& text) {
  // Blanks over the rest of a longer earlier line; a terminal has no "clear to
  // end" that both a Windows console and a Linux terminal understand.
  std::string line = "\r" + text;
  if (text.size() < drawn_width_) line.append(drawn_width_ - text.size(), ' ');
  drawn_width_ = text.size();
  err_ << line << std::flush;
}

void ProgressReporter::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ProgressReporter::finish(uint64_t output_bytes) {
  stop();
  if (!enabled_) return;
  draw(final_text(files_, total_, output_bytes, ProgressClock::now() - start_));
  err_ << '\n' << std::flush;
}

void ProgressReporter::abandon() {
  stop();
  if (enabled_ && drawn_width_ != 0) err_ << '\n' << std::flush;
  drawn_width_ = 0;
}

}  // namespace vorbel::pack
