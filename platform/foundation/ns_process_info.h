// NSProcessInfo: facts about the running process.
//
// One shared object per process (`processInfo()`); every method is safe from any thread.
#ifndef PLATFORM_FOUNDATION_NS_PROCESS_INFO_H_
#define PLATFORM_FOUNDATION_NS_PROCESS_INFO_H_

#include <memory>
#include <string>

class NSProcessInfo {
 public:
  static std::shared_ptr<NSProcessInfo> processInfo();

  // The base name of the executable (at most 15 characters, as the kernel keeps it).
  const std::string& processName() const { return process_name_; }
  int processIdentifier() const;

  // A string that no other call, in this or any other process, answers: the process id, the
  // time and 128 random bits, as "<32 upper-case hex digits>-<pid>-<hex time>". It is made of
  // characters that are safe in file names.
  std::string globallyUniqueString() const;

  NSProcessInfo();

 private:
  std::string process_name_;
};

#endif  // PLATFORM_FOUNDATION_NS_PROCESS_INFO_H_
