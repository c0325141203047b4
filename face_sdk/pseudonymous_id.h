// The face SDK's pseudonymous identifier: a random identifier kept in a small file and renewed
// after 180 days without use.
//
//   std::optional<std::string> id = QVXPseudonymousIDStore::loadPseudonymousID();
//
// The file is "value.txt" in "Brenvik/Ostrell/PseudonymousID" under the user's Application
// Support folder and holds one keyed archive (platform/foundation/ns_keyed_archiver.h) of a
// QVXPseudonymousID. Every load moves the identifier's `lastActivity` to now and writes the file
// again, atomically, so a reader never sees half a file. An identifier is kept while it was last
// loaded at most 15,552,000 seconds (180 days) ago; older ones, a missing file and a file that
// cannot be read as an identifier all give a new identifier. "Now" is the wall clock of
// platform/foundation/ns_date.h.
#ifndef FACE_SDK_PSEUDONYMOUS_ID_H_
#define FACE_SDK_PSEUDONYMOUS_ID_H_

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_keyed_archiver.h"

// How long an identifier stays valid after its last load: 180 days.
inline constexpr NSTimeInterval kQVXPseudonymousIDLifetimeSeconds = 15552000.0;

class QVXPseudonymousID : public NSSecureCoding {
 public:
  // A new identifier (the text form of a new random UUID) with no `lastActivity`.
  static std::shared_ptr<QVXPseudonymousID> init();
  // Null when "uuid" is missing or either key holds the wrong kind.
  static std::shared_ptr<QVXPseudonymousID> initWithCoder(NSCoder* coder);
  void encodeWithCoder(NSCoder* coder) const override;
  static std::string className() { return "QVXPseudonymousID"; }
  std::string classForCoder() const override { return className(); }
  static bool supportsSecureCoding() { return true; }

  const std::string& uuid() const { return uuid_; }
  void setUuid(std::string uuid) { uuid_ = std::move(uuid); }
  const std::shared_ptr<NSDate>& lastActivity() const { return last_activity_; }
  void setLastActivity(std::shared_ptr<NSDate> lastActivity) {
    last_activity_ = std::move(lastActivity);
  }

  // Whether now − `lastActivity` is at most 180 days. An identifier without `lastActivity` is
  // not valid.
  bool isValid() const;

  // Use the factories above.
  explicit QVXPseudonymousID(std::string uuid) : uuid_(std::move(uuid)) {}

 private:
  std::string uuid_;
  std::shared_ptr<NSDate> last_activity_;
};

class QVXPseudonymousIDStore {
 public:
  // The stored identifier, renewed when it is missing or no longer valid; none when the file
  // cannot be written.
  static std::optional<std::string> loadPseudonymousID();
  // The identifier file's path, making its folder when missing; none when the folder cannot be
  // made ("Unable to create internal state storage: <error>" goes to the system log).
  static std::optional<std::string> fileSavePath();
};

#endif  // FACE_SDK_PSEUDONYMOUS_ID_H_
