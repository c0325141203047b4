#include "base/brenvik_init.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "absl/time/clock.h"
#include "base/flags.h"
#include "base/logging.h"

namespace {

struct InitializerData {
  BrenvikInitializer* initializer_obj = nullptr;
  std::set<std::string> dependencies;
  bool initializer_obj_constructed = false;
};

struct TypeData {
  std::map<std::string, InitializerData> initializer_by_name_;
  BrenvikInitializer* current = nullptr;
  bool some_have_run = false;
  int32_t run_depth = 0;
  std::thread::id running_thread;
};

std::mutex& TableMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::condition_variable& TableCondition() {
  static auto* condition = new std::condition_variable;
  return *condition;
}

std::map<std::string, TypeData>& Table() {
  static auto* table = new std::map<std::string, TypeData>;
  return *table;
}

std::set<std::string>& RunningModules() {
  static auto* running = new std::set<std::string>;
  return *running;
}

// The name's data, created when missing; it takes `init` when it has no object yet.
InitializerData& FindOrCreate(TypeData& type_data, const std::string& type,
                              const std::string& name, BrenvikInitializer* init) {
  if (type_data.some_have_run) {
    LOG(ERROR) << "Registering initializer '" << name << "' too late: some initializers of type '"
               << type << "' have executed";
  }
  InitializerData* idata = &type_data.initializer_by_name_[name];
  if (idata->initializer_obj == nullptr) idata->initializer_obj = init;
  CHECK(idata->initializer_obj == init) << "There is more than one initializer with name '"
                                        << name << "'";
  return *idata;
}

}  // namespace

// Runs initializers under the table lock, which it releases around each function.
class BrenvikInitializerRunner {
 public:
  BrenvikInitializerRunner(TypeData& type_data, std::unique_lock<std::mutex>& lock)
      : type_data_(type_data), lock_(lock) {
    const std::thread::id self = std::this_thread::get_id();
    TableCondition().wait(lock_, [&] {
      return type_data_.run_depth == 0 || type_data_.running_thread == self;
    });
    if (type_data_.run_depth == 0) type_data_.running_thread = self;
    ++type_data_.run_depth;
  }

  ~BrenvikInitializerRunner() {
    if (--type_data_.run_depth == 0) {
      type_data_.running_thread = std::thread::id();
      TableCondition().notify_all();
    }
  }

  void RunIfNecessary(BrenvikInitializer* init, const std::string& name, const std::string& type) {
    // A name known only as a dependency has no object yet: the check below catches it.
    if (init != nullptr) {
      CHECK(!init->is_active_) << ": Cycle involving initializer '" << name << "'of type " << type;
    }
    auto& initializer_by_name_ = type_data_.initializer_by_name_;
    auto it = initializer_by_name_.find(name);
    CHECK(it != initializer_by_name_.end() && it->second.initializer_obj_constructed)
        << ": Wow! We've managed to attempt to run initializer '" << name << "' of type " << type
        << " before it has been registered via "
        << "its global BrenvikInitializer object constructor execution.";
    if (init->done_) return;
    VLOG(4) << "Initializing  " << type << ":" << name;
    init->is_active_ = true;
    const absl::Time start = absl::Now();
    BrenvikInitializer* previous = type_data_.current;
    type_data_.current = init;
    type_data_.some_have_run = true;

    const std::vector<std::string> dependencies(it->second.dependencies.begin(),
                                                it->second.dependencies.end());
    for (const std::string& dependency : dependencies) {
      VLOG(4) << "Dependency on " << type << ":" << dependency << " from " << type << ":" << name;
      auto dep_init = initializer_by_name_.find(dependency);
      CHECK(dep_init != initializer_by_name_.end());
      RunIfNecessary(dep_init->second.initializer_obj, dependency, type);
    }

    const bool is_module = type == "module";
    if (is_module) RunningModules().insert(name);
    lock_.unlock();
    init->function_();
    lock_.lock();
    if (is_module) RunningModules().erase(name);

    type_data_.current = previous;
    init->done_ = true;
    init->is_active_ = false;
    const int64_t ms = start == absl::InfinitePast()
                           ? 0
                           : absl::ToInt64Milliseconds(absl::Now() - start);
    const int verbosity = (ms > 100 && FlagsParsed()) ? 0 : 4;
    VLOG(verbosity) << "Finished      " << type << ":" << name << " in " << ms << " ms";
  }

  BrenvikInitializer* current() const { return type_data_.current; }

 private:
  TypeData& type_data_;
  std::unique_lock<std::mutex>& lock_;
};

BrenvikInitializer::BrenvikInitializer(const char* type, const char* name, void (*function)())
    : type_(type), name_(name), function_(function) {
  std::lock_guard<std::mutex> lock(TableMutex());
  InitializerData* idata = &FindOrCreate(Table()[type_], type_, name_, this);
  CHECK(!idata->initializer_obj_constructed)
      << ": Multiple occurrences of initializer '" << name_ << "'";
  idata->initializer_obj_constructed = true;
}

BrenvikInitializer::DependencyRegisterer::DependencyRegisterer(const char* type, const char* name,
                                                               BrenvikInitializer* initializer,
                                                               const Dependency& dependency) {
  std::lock_guard<std::mutex> lock(TableMutex());
  TypeData& type_data = Table()[type];
  InitializerData& idata = FindOrCreate(type_data, type, name, initializer);
  if (!idata.dependencies.insert(dependency.name).second) {
    LOG(ERROR) << "Repeated dependency declaration to run '" << dependency.name << "' before '"
               << name << "'";
  }
  FindOrCreate(type_data, type, dependency.name, dependency.initializer);
}

void BrenvikInitializer::RunInitializers(const char* type) {
  std::unique_lock<std::mutex> lock(TableMutex());
  auto found = Table().find(type);
  if (found == Table().end()) return;
  TypeData& type_data = found->second;
  BrenvikInitializerRunner runner(type_data, lock);
  // Initializers registered while the run goes on are visited too: map iterators stay valid.
  for (auto it = type_data.initializer_by_name_.begin(); it != type_data.initializer_by_name_.end();
       ++it) {
    runner.RunIfNecessary(it->second.initializer_obj, it->first, type);
  }
}

void BrenvikInitializer::Require() {
  std::unique_lock<std::mutex> lock(TableMutex());
  BrenvikInitializerRunner runner(Table()[type_], lock);
  if (runner.current() != nullptr) {
    VLOG(4) << "Requiring     " << type_ << ":" << name_ << " from " << type_ << ":"
            << runner.current()->name();
  } else {
    VLOG(4) << "Requiring     " << type_ << ":" << name_;
  }
  runner.RunIfNecessary(this, name_, type_);
}

void BrenvikInitializerGetModuleRunning(std::set<std::string>* names) {
  std::lock_guard<std::mutex> lock(TableMutex());
  *names = RunningModules();
}
