#include "platform/foundation/system_log.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_process_info.h"

namespace platform::foundation {
namespace {

std::mutex& CaptureMutex() {
  static std::mutex mutex;
  return mutex;
}

SystemLogCapture*& CurrentCapture() {
  static SystemLogCapture* current = nullptr;
  return current;
}

std::string LinePrefix() {
  NSTimeInterval now = WallClockNow();
  double whole = std::floor(now);
  time_t seconds = static_cast<time_t>(whole);
  int millis = static_cast<int>((now - whole) * 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &utc);
  auto info = NSProcessInfo::processInfo();
  return StringWithFormat("%s.%03d %s[%d:%ld] ", stamp, millis, info->processName().c_str(),
                          info->processIdentifier(), static_cast<long>(syscall(SYS_gettid)));
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::string StringWithFormatV(const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  int size = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size) + 1, '\0');
  vsnprintf(text.data(), text.size(), format, arguments);
  text.resize(static_cast<size_t>(size));
  return text;
}

std::string StringWithFormat(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = StringWithFormatV(format, arguments);
  va_end(arguments);
  return text;
}

void DeliverSystemLogMessage(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(CaptureMutex());
    if (SystemLogCapture* capture = CurrentCapture()) {
      base::MutexLock capture_lock(&capture->mutex_);
      capture->messages_.push_back(message);
      return;
    }
  }
  WriteAll(STDERR_FILENO, LinePrefix() + message + "\n");
}

SystemLogCapture::SystemLogCapture() {
  std::lock_guard<std::mutex> lock(CaptureMutex());
  previous_ = CurrentCapture();
  CurrentCapture() = this;
}

SystemLogCapture::~SystemLogCapture() {
  std::lock_guard<std::mutex> lock(CaptureMutex());
  if (CurrentCapture() == this) CurrentCapture() = previous_;
}

std::vector<std::string> SystemLogCapture::messages() const {
  base::MutexLock lock(&mutex_);
  return messages_;
}

}  // namespace platform::foundation

void NSLogv(const char* format, va_list arguments) {
  std::string message = platform::foundation::StringWithFormatV(format, arguments);
  if (!message.empty() && message.back() == '\n') message.pop_back();
  platform::foundation::DeliverSystemLogMessage(message);
}

void NSLog(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  NSLogv(format, arguments);
  va_end(arguments);
}
