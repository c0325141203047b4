#include "platform/uikit/console.h"

#include <cstdio>

namespace platform::uikit {
namespace {

std::mutex& ConsoleMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

ConsoleCapture* current_capture = nullptr;  // guarded by ConsoleMutex()

}  // namespace

void WriteConsoleLine(std::string_view line) {
  std::lock_guard<std::mutex> lock(ConsoleMutex());
  if (current_capture != nullptr) {
    current_capture->Add(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

ConsoleCapture::ConsoleCapture() {
  std::lock_guard<std::mutex> lock(ConsoleMutex());
  previous_ = current_capture;
  current_capture = this;
}

ConsoleCapture::~ConsoleCapture() {
  std::lock_guard<std::mutex> lock(ConsoleMutex());
  current_capture = previous_;
}

std::vector<std::string> ConsoleCapture::lines() const {
  base::MutexLock lock(&mutex_);
  return lines_;
}

void ConsoleCapture::Add(std::string_view line) {
  base::MutexLock lock(&mutex_);
  lines_.emplace_back(line);
}

}  // namespace platform::uikit
