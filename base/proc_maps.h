// Iterates over the memory mappings of a process, as listed in /proc/<pid>/maps.
//
//   ProcMapsIterator it(0);  // 0: this process
//   uint64_t start, end;
//   char* flags;
//   char* filename;
//   while (it.Next(&start, &end, &flags, nullptr, nullptr, &filename)) { ... }
//
// The texts handed out point into the iterator's buffer and are valid until the next call.
// An iterator belongs to one thread.

#ifndef BASE_PROC_MAPS_H_
#define BASE_PROC_MAPS_H_

#include <cstdint>
#include <cstdio>

class ProcMapsIterator {
 public:
  static constexpr int kBufferSize = 2048;
  // Room for one line of the maps file; a caller may lend one to avoid an allocation.
  struct Buffer {
    char buf_[kBufferSize];
  };

  explicit ProcMapsIterator(int pid);
  ProcMapsIterator(int pid, Buffer* buffer);
  ProcMapsIterator(const ProcMapsIterator&) = delete;
  ProcMapsIterator& operator=(const ProcMapsIterator&) = delete;
  ~ProcMapsIterator();

  // pid 0 (or this process's id) reads /proc/self/maps.
  void Init(int pid, Buffer* buffer);
  // True when the maps file could be opened.
  bool Valid() const;

  // The next mapping; false at the end. Every out-pointer may be null.
  bool Next(uint64_t* start, uint64_t* end, char** flags, uint64_t* offset, int64_t* inode,
            char** filename);
  // Next with the device number (major * 256 + minor).
  bool NextExt(uint64_t* start, uint64_t* end, char** flags, uint64_t* offset, int64_t* inode,
               char** filename, uint64_t* device);

  // Writes one maps line ("%08x-%08x rwxp %08x %02x:%02x %-11d %s\n") into `buffer`. The flags
  // are normalised to four characters (missing: "---p"). Returns the length written, or 0
  // when it does not fit.
  static int FormatLine(char* buffer, int size, uint64_t start, uint64_t end, const char* flags,
                        uint64_t offset, int64_t inode, const char* filename, uint64_t device);

 private:
  int pid_ = 0;
  Buffer* buffer_ = nullptr;
  bool owns_buffer_ = false;
  FILE* file_ = nullptr;
  char flags_[5] = {};
};

#endif  // BASE_PROC_MAPS_H_
