// NSException: a named exception with a reason, raised as a C++ exception.
//
//   try {
//     NSException::raise("Assertion Failed!", "Expected block to report an error!");
//   } catch (const NSException& exception) {
//     exception.name();    // "Assertion Failed!"
//   }
#ifndef PLATFORM_FOUNDATION_NS_EXCEPTION_H_
#define PLATFORM_FOUNDATION_NS_EXCEPTION_H_

#include <exception>
#include <string>

class NSException : public std::exception {
 public:
  NSException(std::string name, std::string reason)
      : name_(std::move(name)), reason_(std::move(reason)) {}

  // Throws an NSException with `name` and `reason`.
  [[noreturn]] static void raise(std::string name, std::string reason) {
    throw NSException(std::move(name), std::move(reason));
  }

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
};

#endif  // PLATFORM_FOUNDATION_NS_EXCEPTION_H_
