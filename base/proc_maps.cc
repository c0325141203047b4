#include "base/proc_maps.h"

#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <string>

#include "absl/flags/flag.h"
#include "base/flags.h"

ProcMapsIterator::ProcMapsIterator(int pid) { Init(pid, nullptr); }

ProcMapsIterator::ProcMapsIterator(int pid, Buffer* buffer) { Init(pid, buffer); }

ProcMapsIterator::~ProcMapsIterator() {
  if (file_ != nullptr) fclose(file_);
  if (owns_buffer_) delete buffer_;
}

void ProcMapsIterator::Init(int pid, Buffer* buffer) {
  if (file_ != nullptr) fclose(file_);
  if (owns_buffer_) delete buffer_;
  pid_ = pid;
  owns_buffer_ = buffer == nullptr;
  buffer_ = owns_buffer_ ? new Buffer : buffer;
  // Read now, not at start-up: a program (or a test) may point the iterator at another
  // procfs tree at any time.
  std::string path = absl::GetFlag(FLAGS_procfs_prefix);
  if (pid != 0 && pid != getpid()) {
    path += "/proc/" + std::to_string(pid) + "/maps";
  } else {
    path += "/proc/self/maps";
  }
  file_ = fopen(path.c_str(), "r");
}

bool ProcMapsIterator::Valid() const { return file_ != nullptr; }

bool ProcMapsIterator::Next(uint64_t* start, uint64_t* end, char** flags, uint64_t* offset,
                            int64_t* inode, char** filename) {
  return NextExt(start, end, flags, offset, inode, filename, nullptr);
}

bool ProcMapsIterator::NextExt(uint64_t* start, uint64_t* end, char** flags, uint64_t* offset,
                               int64_t* inode, char** filename, uint64_t* device) {
  if (file_ == nullptr) return false;
  char* line = buffer_->buf_;
  while (fgets(line, kBufferSize, file_) != nullptr) {
    const size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
      line[length - 1] = '\0';
    } else {
      // A line longer than the buffer: skip the rest of it, keep what fitted.
      int c;
      while ((c = fgetc(file_)) != EOF && c != '\n') {
      }
    }
    uint64_t s = 0, e = 0, off = 0;
    unsigned major = 0, minor = 0;
    long long ino = 0;
    int name_at = 0;
    if (sscanf(line, "%" SCNx64 "-%" SCNx64 " %4s %" SCNx64 " %x:%x %lld %n", &s, &e, flags_,
               &off, &major, &minor, &ino, &name_at) < 7) {
      continue;
    }
    if (start) *start = s;
    if (end) *end = e;
    if (flags) *flags = flags_;
    if (offset) *offset = off;
    if (inode) *inode = ino;
    if (filename) *filename = line + name_at;
    if (device) *device = static_cast<uint64_t>(major) * 256 + minor;
    return true;
  }
  return false;
}

int ProcMapsIterator::FormatLine(char* buffer, int size, uint64_t start, uint64_t end,
                                 const char* flags, uint64_t offset, int64_t inode,
                                 const char* filename, uint64_t device) {
  char f[4] = {'-', '-', '-', 'p'};
  if (flags != nullptr) {
    const size_t n = strlen(flags);
    if (n > 0) f[0] = flags[0] == 'r' ? 'r' : '-';
    if (n > 1) f[1] = flags[1] == 'w' ? 'w' : '-';
    if (n > 2) f[2] = flags[2] == 'x' ? 'x' : '-';
    if (n > 3) f[3] = flags[3] == 'p' ? 'p' : '-';
  }
  const int written =
      snprintf(buffer, size, "%08" PRIx64 "-%08" PRIx64 " %c%c%c%c %08" PRIx64
               " %02x:%02x %-11" PRId64 " %s\n",
               start, end, f[0], f[1], f[2], f[3], offset, static_cast<unsigned>(device / 256),
               static_cast<unsigned>(device % 256), inode, filename != nullptr ? filename : "");
  return (written >= 0 && written < size) ? written : 0;
}
