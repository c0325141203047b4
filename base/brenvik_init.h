// Named initializers, grouped by type and run once each, after their dependencies.
//
//   REGISTER_MODULE_INITIALIZER(my_tables, { BuildTables(); });   // at global scope
//   ...
//   REQUIRE_MODULE_INITIALIZED(my_tables);          // runs it now unless it has run
//   BrenvikInitializer::RunInitializers("module");  // runs every module not yet run
//
// An initializer object is a global defined by the module that owns the function; it
// registers itself when constructed. A dependency names another initializer of the same type
// that must run first. Cycles, duplicate names and running an initializer before its object
// exists are fatal. Runs of one type happen on one thread at a time (nested runs of that
// thread proceed); the table lock is released while an initializer's function runs.

#ifndef BASE_BRENVIK_INIT_H_
#define BASE_BRENVIK_INIT_H_

#include <set>
#include <string>

class BrenvikInitializer {
 public:
  // Another initializer of the same type, by name and object.
  struct Dependency {
    const char* name;
    BrenvikInitializer* initializer;
  };

  // Declares that `dependency` runs before the initializer `name`, whose object is
  // `initializer` (it need not be constructed yet).
  class DependencyRegisterer {
   public:
    DependencyRegisterer(const char* type, const char* name, BrenvikInitializer* initializer,
                         const Dependency& dependency);
  };

  BrenvikInitializer(const char* type, const char* name, void (*function)());
  BrenvikInitializer(const BrenvikInitializer&) = delete;
  BrenvikInitializer& operator=(const BrenvikInitializer&) = delete;

  // Runs every initializer of the type that has not run, in name order.
  static void RunInitializers(const char* type);
  // Runs this initializer, after its dependencies, unless it has run.
  void Require();

  const std::string& type() const { return type_; }
  const std::string& name() const { return name_; }

 private:
  friend class BrenvikInitializerRunner;

  std::string type_;
  std::string name_;
  void (*function_)();
  bool done_ = false;
  bool is_active_ = false;
};

// Replaces `names` with the names of the "module" initializers running at the moment.
void BrenvikInitializerGetModuleRunning(std::set<std::string>* names);

#define REGISTER_INITIALIZER(type, name, body)                       \
  DECLARE_INITIALIZER(type, name);                                   \
  namespace brenvik_initializer_##type##_##name##_ns {               \
  static void Run() { body; }                                        \
  }                                                                  \
  ::BrenvikInitializer brenvik_initializer_##type##_##name(          \
      #type, #name, &brenvik_initializer_##type##_##name##_ns::Run)
#define REGISTER_MODULE_INITIALIZER(name, body) REGISTER_INITIALIZER(module, name, body)

// `name` runs after `dependency`; both of `type`. At global scope.
#define REGISTER_INITIALIZER_DEPENDENCY(type, name, dependency)                             \
  DECLARE_INITIALIZER(type, name);                                                          \
  DECLARE_INITIALIZER(type, dependency);                                                    \
  static ::BrenvikInitializer::DependencyRegisterer brenvik_dependency_##type##_##name##_##dependency( \
      #type, #name, &brenvik_initializer_##type##_##name,                                 \
      ::BrenvikInitializer::Dependency{#dependency, &brenvik_initializer_##type##_##dependency})
#define REGISTER_MODULE_INITIALIZER_DEPENDENCY(name, dependency) \
  REGISTER_INITIALIZER_DEPENDENCY(module, name, dependency)

// Makes an initializer of another file known here; at global scope.
#define DECLARE_INITIALIZER(type, name) \
  extern ::BrenvikInitializer brenvik_initializer_##type##_##name
#define DECLARE_MODULE_INITIALIZER(name) DECLARE_INITIALIZER(module, name)

// The initializer must be registered or declared (above) in this file.
#define REQUIRE_INITIALIZED(type, name) ::brenvik_initializer_##type##_##name.Require()
#define REQUIRE_MODULE_INITIALIZED(name) REQUIRE_INITIALIZED(module, name)

#endif  // BASE_BRENVIK_INIT_H_
