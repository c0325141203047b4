// A flag set for tests whose values the test sets: number and bytes flags by name.
#ifndef EXPERIMENT_FLAGS_FAKE_FLAGS_TEST_UTIL_H_
#define EXPERIMENT_FLAGS_FAKE_FLAGS_TEST_UTIL_H_

#include <map>
#include <mutex>
#include <string>

#include "experiment_flags/marovic_flags.h"

class FakeMarovicFlags : public ZQLMarovicFlagsProtocol {
 public:
  void setNumber(const std::string& name, ZQLMarovicNumber value) {
    std::lock_guard<std::mutex> lock(mutex_);
    numbers_.insert_or_assign(name, value);
  }
  void setData(const std::string& name, std::string value) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_[name] = std::move(value);
  }

  void startLoading() override {}
  void update() override {}
  std::shared_ptr<ZQLMarovicExperimentTokens> tokens() override { return nullptr; }
  std::optional<std::string> serverToken() override { return std::nullopt; }
  std::any valueForFlagName(const std::string&, std::any defaultValue) override {
    return defaultValue;
  }
  std::optional<std::string> stringForFlagName(const std::string&,
                                               std::optional<std::string> defaultValue) override {
    return defaultValue;
  }
  ZQLMarovicNumber numberForFlagName(const std::string& name,
                                     ZQLMarovicNumber defaultValue) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = numbers_.find(name);
    return it == numbers_.end() ? defaultValue : it->second;
  }
  std::optional<std::string> dataForFlagName(const std::string& name,
                                             std::optional<std::string> defaultValue) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = data_.find(name);
    return it == data_.end() ? defaultValue : std::optional<std::string>(it->second);
  }

 private:
  std::mutex mutex_;
  std::map<std::string, ZQLMarovicNumber> numbers_;
  std::map<std::string, std::string> data_;
};

#endif  // EXPERIMENT_FLAGS_FAKE_FLAGS_TEST_UTIL_H_
