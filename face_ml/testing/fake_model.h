// An object type for tests of the model loader and the detector cache: built from its files'
// contents, with a gate that can hold a build in progress and a record of the threads that
// build and delete the objects.

#ifndef FACE_ML_TESTING_FAKE_MODEL_H_
#define FACE_ML_TESTING_FAKE_MODEL_H_

#include <pthread.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "absl/strings/match.h"
#include "absl/strings/str_join.h"
#include "base/status.h"
#include "base/statusor.h"

namespace research {
namespace sorvanti {
namespace testing {

inline std::string CurrentThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
}

// What happened to fake models, shared by every thread of a test.
class FakeModelLog {
 public:
  static FakeModelLog& Get() {
    static FakeModelLog* log = new FakeModelLog;
    return *log;
  }

  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    builds_ = 0;
    build_threads_.clear();
    delete_threads_.clear();
    gate_open_ = true;
  }
  // While closed, builds wait at the gate.
  void SetGateOpen(bool open) {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_open_ = open;
    cond_.notify_all();
  }
  // Blocks until a build waits at the closed gate.
  void WaitForBlockedBuild() {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return blocked_ > 0; });
  }

  int builds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return builds_;
  }
  std::vector<std::string> build_threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return build_threads_;
  }
  std::vector<std::string> delete_threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return delete_threads_;
  }

  void RecordBuild() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++builds_;
    build_threads_.push_back(CurrentThreadName());
    ++blocked_;
    cond_.notify_all();
    cond_.wait(lock, [this] { return gate_open_; });
    --blocked_;
  }
  void RecordDelete() {
    std::lock_guard<std::mutex> lock(mutex_);
    delete_threads_.push_back(CurrentThreadName());
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  int builds_ = 0;
  int blocked_ = 0;
  bool gate_open_ = true;
  std::vector<std::string> build_threads_;
  std::vector<std::string> delete_threads_;
};

struct FakeModel {
  std::string text;  // the files' contents joined with "|"
  ~FakeModel() { FakeModelLog::Get().RecordDelete(); }
};

// The create function: DATA_LOSS "broken model" when a file's contents begin with "bad".
inline util::StatusOr<std::unique_ptr<FakeModel>> BuildFakeModel(
    std::vector<std::string>* contents) {
  FakeModelLog::Get().RecordBuild();
  for (const std::string& file : *contents) {
    if (absl::StartsWith(file, "bad")) return absl::DataLossError("broken model");
  }
  auto model = std::make_unique<FakeModel>();
  model->text = absl::StrJoin(*contents, "|");
  return model;
}

}  // namespace testing
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_TESTING_FAKE_MODEL_H_
