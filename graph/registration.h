// Name-keyed factory registries.
//
// Every pluggable piece of a graph (calculators, their contract accessors, stream handlers,
// executors, packet generators, ...) is created from the name a graph configuration writes for
// it. Each kind has one process-wide `GlobalFactoryRegistry` that maps names to factory
// functions; static initialisers fill it before any graph exists, and graph set-up looks names
// up while a graph is initialised.
//
// Stored names use "::" between their parts. A registration passes either a bare class name
// ("Foo") or a fully qualified one with a leading "::" ("::kaldren::Foo"); a class of one of the
// framework's own namespaces (`NamespaceWhitelist::TopNamespaces()`) is stored under both its
// qualified and its bare name. Configurations write names with "." and are resolved against the
// configuration's package with `GetQualifiedName`.

#ifndef QUILLMERE_GRAPH_REGISTRATION_H_
#define QUILLMERE_GRAPH_REGISTRATION_H_

#include <algorithm>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "absl/functional/function_ref.h"
#include "base/logging.h"
#include "base/status.h"
#include "base/statusor.h"

namespace kaldren {

namespace registration_internal {

// Separator of the parts of a stored (C++) name.
inline constexpr char kCxxSep[] = "::";
// Separator of the parts of a name or a package as a graph configuration writes them.
inline constexpr char kNameSep[] = ".";

// The result of a lookup: the factory's own status-or value, or the factory's result wrapped
// into one.
template <typename R>
struct InvokeResult {
  using type = util::StatusOr<R>;
};
template <typename T>
struct InvokeResult<util::StatusOr<T>> {
  using type = util::StatusOr<T>;
};

// "::a::B" -> "a::B"; "B" -> "B"; a qualified name without the leading "::" is fatal.
std::string GetNormalizedName(const std::string& name);

// "a::B" -> "B" when "a" is one of the framework's own namespaces, else the name unchanged.
std::string GetAdjustedName(const std::string& name);

// Resolves a configuration name within a configuration package; `is_key` tells whether a
// candidate is stored. See `FunctionRegistry::GetQualifiedName`.
std::string GetQualifiedName(const std::string& ns, const std::string& name,
                             absl::FunctionRef<bool(const std::string&)> is_key);

}  // namespace registration_internal

// The handle a registration returns. Its `Unregister()` undoes the registration once; letting
// the token go away does not. Move-only; a moved-from token is empty.
class RegistrationToken {
 public:
  RegistrationToken() = default;
  explicit RegistrationToken(std::function<void()> unregisterer);

  RegistrationToken(RegistrationToken&& other) noexcept;
  RegistrationToken& operator=(RegistrationToken&& other) noexcept;
  RegistrationToken(const RegistrationToken&) = delete;
  RegistrationToken& operator=(const RegistrationToken&) = delete;

  // Runs the undo function if the token still holds one, then empties the token.
  void Unregister();

  // A token whose undo function runs those of `tokens`, in their order.
  static RegistrationToken Combine(std::vector<RegistrationToken> tokens);

 private:
  std::function<void()> unregister_function_;
};

// Holds a registration for as long as it lives (the RAII form of `RegistrationToken`).
class Unregister {
 public:
  Unregister() = default;
  explicit Unregister(RegistrationToken token);
  ~Unregister();

  Unregister(Unregister&& other) noexcept = default;
  // Undoes the registration held so far, then takes over `other`'s.
  Unregister& operator=(Unregister&& other) noexcept;
  Unregister(const Unregister&) = delete;
  Unregister& operator=(const Unregister&) = delete;

  // Undoes the registration held so far, then holds `token`.
  void Reset(RegistrationToken token = RegistrationToken());

 private:
  RegistrationToken token_;
};

// The framework's own top-level namespaces. A class registered as "::<namespace>::<Name>" with
// one of these namespaces is also found under "<Name>".
class NamespaceWhitelist {
 public:
  static const std::unordered_set<std::string>& TopNamespaces();
};

// A registry of factories that take `Args` and return `R`.
template <typename R, typename... Args>
class FunctionRegistry {
 public:
  using Function = std::function<R(Args...)>;
  using ReturnType = typename registration_internal::InvokeResult<R>::type;

  FunctionRegistry() { functions_.max_load_factor(1.0f); }
  FunctionRegistry(const FunctionRegistry&) = delete;
  FunctionRegistry& operator=(const FunctionRegistry&) = delete;

  // Stores `function` under the normalised name and, for a class of a framework namespace, also
  // under its bare name unless that is taken already. A name stored before, or a qualified name
  // without the leading "::", ends the process.
  RegistrationToken Register(const std::string& name, Function function) {
    std::string normalized_name = registration_internal::GetNormalizedName(name);
    std::unique_lock<std::shared_mutex> lock(lock_);
    std::string adjusted_name = registration_internal::GetAdjustedName(normalized_name);
    // The token removes the bare name only when this registration stored it, so that undoing
    // "::kaldren::Foo" never removes a "Foo" that another registration owns.
    bool owns_alias = adjusted_name != normalized_name &&
                      functions_.emplace(adjusted_name, function).second;
    if (!functions_.emplace(normalized_name, std::move(function)).second) {
      LOG(FATAL) << "Function with name " << name << " already registered.";
    }
    return RegistrationToken([this, normalized_name, adjusted_name, owns_alias] {
      std::unique_lock<std::shared_mutex> lock(lock_);
      if (owns_alias) functions_.erase(adjusted_name);
      functions_.erase(normalized_name);
    });
  }

  // Calls the factory stored under exactly `name`, outside the registry's lock (a factory may
  // itself use registries). NOT_FOUND when no factory is stored under that name.
  ReturnType Invoke(const std::string& name, Args... args) {
    Function function;
    {
      std::shared_lock<std::shared_mutex> lock(lock_);
      auto it = functions_.find(name);
      if (it == functions_.end()) {
        return absl::Status(absl::StatusCode::kNotFound,
                            "No registered object with name: " + name);
      }
      function = it->second;
    }
    return function(std::forward<Args>(args)...);
  }

  // `Invoke` of the name resolved within the configuration package `ns`.
  ReturnType Invoke(const std::string& ns, const std::string& name, Args... args) {
    return Invoke(GetQualifiedName(ns, name), std::forward<Args>(args)...);
  }

  // Whether exactly `name` is stored.
  bool IsRegistered(const std::string& name) const {
    std::shared_lock<std::shared_mutex> lock(lock_);
    return functions_.count(name) > 0;
  }

  bool IsRegistered(const std::string& ns, const std::string& name) const {
    return IsRegistered(GetQualifiedName(ns, name));
  }

  // Every stored name (qualified names and bare aliases alike), sorted.
  std::vector<std::string> GetRegisteredNames() const {
    std::vector<std::string> names;
    {
      std::shared_lock<std::shared_mutex> lock(lock_);
      names.reserve(functions_.size());
      for (const auto& entry : functions_) names.push_back(entry.first);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // The stored name that the configuration name `name` ("." between parts) resolves to within
  // the package `ns` ("." between components):
  // - a name with a leading "." is taken without the package: ".a.Foo" -> "a::Foo";
  // - otherwise the package's prefixes are tried, longest first: in "a.b", "C" tries "a::b::C"
  //   and then "a::C", and the first one stored wins;
  // - otherwise the name itself with "::" for ".", whether or not it is stored.
  std::string GetQualifiedName(const std::string& ns, const std::string& name) const {
    std::shared_lock<std::shared_mutex> lock(lock_);
    return registration_internal::GetQualifiedName(
        ns, name, [this](const std::string& key) { return functions_.count(key) > 0; });
  }

  static std::string GetNormalizedName(const std::string& name) {
    return registration_internal::GetNormalizedName(name);
  }
  static std::string GetAdjustedName(const std::string& name) {
    return registration_internal::GetAdjustedName(name);
  }

 private:
  // A standard reader/writer mutex, not Abseil's: the thread sanitizer sees through it.
  mutable std::shared_mutex lock_;
  std::unordered_map<std::string, Function> functions_;  // guarded by lock_
};

// The one registry of the process for factories that take `Args` and return `R`. It is created
// on first use, whichever static initialiser comes first, and never destroyed.
template <typename R, typename... Args>
class GlobalFactoryRegistry {
 public:
  using Functions = FunctionRegistry<R, Args...>;
  using ReturnType = typename Functions::ReturnType;

  GlobalFactoryRegistry() = delete;

  static RegistrationToken Register(const std::string& name,
                                    typename Functions::Function function) {
    return functions()->Register(name, std::move(function));
  }

  // Creates the object registered under `name` resolved within the configuration package `ns`.
  static ReturnType CreateByNameInNamespace(const std::string& ns, const std::string& name,
                                            Args... args) {
    return functions()->Invoke(ns, name, std::forward<Args>(args)...);
  }

  static ReturnType CreateByName(const std::string& name, Args... args) {
    return CreateByNameInNamespace("", name, std::forward<Args>(args)...);
  }

  // Whether `name` (configuration syntax, no package) is registered.
  static bool IsRegistered(const std::string& name) {
    return functions()->IsRegistered("", name);
  }
  static bool IsRegistered(const std::string& ns, const std::string& name) {
    return functions()->IsRegistered(ns, name);
  }

  static std::vector<std::string> GetRegisteredNames() {
    return functions()->GetRegisteredNames();
  }

  static Functions* functions() {
    static Functions* const functions = new Functions;
    return functions;
  }
};

}  // namespace kaldren

#define QM_REGISTRATION_CONCAT_INNER(a, b) a##b
#define QM_REGISTRATION_CONCAT(a, b) QM_REGISTRATION_CONCAT_INNER(a, b)

// Registers, from a static initialiser, `factory` under `name` in the global registry
// `RegistryType`. `name` is a string. The token is kept in a static object and never used, so
// the registration lasts for the life of the process.
#define REGISTER_FACTORY_FUNCTION_QUALIFIED(RegistryType, var_prefix, name, factory) \
  [[maybe_unused]] static ::kaldren::RegistrationToken QM_REGISTRATION_CONCAT(          \
      var_prefix, __COUNTER__) = RegistryType::Register(name, factory)

#endif  // QUILLMERE_GRAPH_REGISTRATION_H_
