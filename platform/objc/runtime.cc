#include "platform/objc/runtime.h"

#include <map>
#include <memory>
#include <mutex>

namespace platform::objc {
namespace {

// Names to objects; the objects are never freed.
struct Tables {
  std::mutex mutex;
  std::map<std::string, const Class*, std::less<>> classes;
  std::map<std::string, const Protocol*, std::less<>> protocols;
};

Tables& GetTables() {
  static Tables* tables = new Tables;
  return *tables;
}

const Protocol* RegisterProtocolLocked(Tables& tables, std::string_view name,
                                       std::vector<const Protocol*> adopted) {
  auto found = tables.protocols.find(name);
  if (found != tables.protocols.end()) return found->second;
  auto* protocol = new Protocol(std::string(name), std::move(adopted));
  tables.protocols.emplace(std::string(name), protocol);
  return protocol;
}

}  // namespace

const Protocol* NSObjectProtocol() {
  static const Protocol* root = [] {
    Tables& tables = GetTables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    return RegisterProtocolLocked(tables, "NSObject", {});
  }();
  return root;
}

bool Protocol::conformsToProtocol(const Protocol* other) const {
  if (other == nullptr) return false;
  if (other == this || other == NSObjectProtocol()) return true;
  for (const Protocol* adopted : adopted_) {
    if (adopted->conformsToProtocol(other)) return true;
  }
  return false;
}

bool Class::isSubclassOfClass(const Class* other) const {
  for (const Class* c = this; c != nullptr; c = c->superclass_) {
    if (c == other) return true;
  }
  return false;
}

bool Class::conformsToProtocol(const Protocol* protocol) const {
  if (protocol == nullptr) return false;
  if (protocol == NSObjectProtocol()) return true;
  for (const Class* c = this; c != nullptr; c = c->superclass_) {
    for (const Protocol* adopted : c->adopted_) {
      if (adopted->conformsToProtocol(protocol)) return true;
    }
  }
  return false;
}

const Protocol* RegisterProtocol(std::string_view name,
                                 std::initializer_list<const Protocol*> adopted) {
  const Protocol* root = NSObjectProtocol();
  std::vector<const Protocol*> list;
  for (const Protocol* p : adopted) {
    if (p != nullptr) list.push_back(p);
  }
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  if (name == root->name()) return root;
  return RegisterProtocolLocked(tables, name, std::move(list));
}

const Class* RegisterClass(std::string_view name, const Class* superclass,
                           std::initializer_list<const Protocol*> adopted) {
  std::vector<const Protocol*> list;
  for (const Protocol* p : adopted) {
    if (p != nullptr) list.push_back(p);
  }
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  auto found = tables.classes.find(name);
  if (found != tables.classes.end()) return found->second;
  auto* cls = new Class(std::string(name), superclass, std::move(list));
  tables.classes.emplace(std::string(name), cls);
  return cls;
}

const Class* NSClassFromString(std::string_view name) {
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  auto found = tables.classes.find(name);
  return found == tables.classes.end() ? nullptr : found->second;
}

const Protocol* NSProtocolFromString(std::string_view name) {
  const Protocol* root = NSObjectProtocol();
  if (name == root->name()) return root;
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  auto found = tables.protocols.find(name);
  return found == tables.protocols.end() ? nullptr : found->second;
}

}  // namespace platform::objc
