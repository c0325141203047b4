// A minimal object-runtime type registry: class objects (a name, a superclass and the protocols
// a class adopts) and protocol objects (a name and the protocols it adopts), looked up by name,
// with subclass and conformance queries. Every protocol adopts the root protocol NSObject,
// whether it names it or not, and so does every class.
//
//   // At namespace scope in the class's .cc file:
//   const platform::objc::Class* const kMyService = platform::objc::RegisterClass(
//       "MyService", nullptr, {platform::objc::RegisterProtocol("MyServiceAPI", {})});
//
//   platform::objc::NSClassFromString("MyService")->conformsToProtocol(
//       platform::objc::NSProtocolFromString("MyServiceAPI"));  // true
//
// Class and protocol objects live for the process and are unique per name, so pointer identity
// is the runtime's equality. Registration and lookup are thread-safe. Instances of registered
// classes are std::shared_ptr<Object>; an object answers its class object.
#ifndef PLATFORM_OBJC_RUNTIME_H_
#define PLATFORM_OBJC_RUNTIME_H_

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace platform::objc {

class Protocol {
 public:
  const std::string& name() const { return name_; }
  const std::vector<const Protocol*>& adoptedProtocols() const { return adopted_; }
  // This protocol is `other` or adopts it, directly or through the protocols it adopts.
  bool conformsToProtocol(const Protocol* other) const;

  Protocol(std::string name, std::vector<const Protocol*> adopted)
      : name_(std::move(name)), adopted_(std::move(adopted)) {}

 private:
  std::string name_;
  std::vector<const Protocol*> adopted_;
};

class Class {
 public:
  const std::string& name() const { return name_; }
  const Class* superclass() const { return superclass_; }
  const std::vector<const Protocol*>& adoptedProtocols() const { return adopted_; }
  // This class is `other` or inherits from it.
  bool isSubclassOfClass(const Class* other) const;
  // This class or a superclass adopts a protocol that conforms to `protocol`.
  bool conformsToProtocol(const Protocol* protocol) const;

  Class(std::string name, const Class* superclass, std::vector<const Protocol*> adopted)
      : name_(std::move(name)), superclass_(superclass), adopted_(std::move(adopted)) {}

 private:
  std::string name_;
  const Class* superclass_;
  std::vector<const Protocol*> adopted_;
};

// The root protocol.
const Protocol* NSObjectProtocol();

// Registers a protocol, or answers the one already registered under `name` (whose adopted
// protocols are then kept). Null entries of `adopted` are skipped.
const Protocol* RegisterProtocol(std::string_view name,
                                 std::initializer_list<const Protocol*> adopted);
// Registers a class, or answers the one already registered under `name` (unchanged).
const Class* RegisterClass(std::string_view name, const Class* superclass,
                           std::initializer_list<const Protocol*> adopted);

// Null when no class or protocol of that name is registered.
const Class* NSClassFromString(std::string_view name);
const Protocol* NSProtocolFromString(std::string_view name);

// The common base of instances of registered classes.
class Object {
 public:
  virtual ~Object() = default;
  virtual const Class* objcClass() const = 0;
};

}  // namespace platform::objc

#endif  // PLATFORM_OBJC_RUNTIME_H_
