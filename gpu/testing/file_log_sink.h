// Records what one source file logs while the sink is alive, as "<severity letter> <text>"
// lines ("I ", "W ", "E "), for tests that check exact log texts.

#ifndef GPU_TESTING_FILE_LOG_SINK_H_
#define GPU_TESTING_FILE_LOG_SINK_H_

#include <mutex>
#include <string>
#include <vector>

#include "base/logging.h"

namespace pellumo::testing {

class FileLogSink : public absl::LogSink {
 public:
  // `source_basename` is the file's base name with extension ("shader_util.cc").
  explicit FileLogSink(std::string source_basename) : source_basename_(std::move(source_basename)) {
    absl::AddLogSink(this);
  }
  ~FileLogSink() override { absl::RemoveLogSink(this); }

  void Send(const absl::LogEntry& entry) override {
    if (entry.source_basename() != source_basename_) return;
    const char* severity = entry.log_severity() == absl::LogSeverity::kInfo      ? "I "
                           : entry.log_severity() == absl::LogSeverity::kWarning ? "W "
                                                                                 : "E ";
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(severity + std::string(entry.text_message()));
  }

  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  const std::string source_basename_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace pellumo::testing

#endif  // GPU_TESTING_FILE_LOG_SINK_H_
