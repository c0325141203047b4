#include "face_sdk/pseudonymous_id.h"

#include <chrono>
#include <mutex>

#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/ns_uuid.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/system_log.h"
#include "platform/utility/format.h"

namespace {

constexpr char kFolder[] = "Brenvik/Ostrell/PseudonymousID";
constexpr char kFileName[] = "value.txt";
constexpr char kUuidKey[] = "uuid";
constexpr char kLastActivityKey[] = "lastActivity";

NSCodingDate CodingDate(const NSDate& date) {
  return NSCodingDate(std::chrono::duration_cast<NSCodingDate::duration>(
      std::chrono::duration<double>(date.timeIntervalSince1970())));
}

std::shared_ptr<NSDate> DateFromCoding(NSCodingDate date) {
  return NSDate::dateWithTimeIntervalSince1970(
      std::chrono::duration<double>(date.time_since_epoch()).count());
}

}  // namespace

std::shared_ptr<QVXPseudonymousID> QVXPseudonymousID::init() {
  return std::make_shared<QVXPseudonymousID>(NSUUID::UUID()->UUIDString());
}

std::shared_ptr<QVXPseudonymousID> QVXPseudonymousID::initWithCoder(NSCoder* coder) {
  auto uuid = coder->decodeObjectOfClass<std::string>(kUuidKey);
  auto last_activity = coder->decodeObjectOfClass<NSCodingDate>(kLastActivityKey);
  if (coder->error() != nullptr || !uuid.has_value()) return nullptr;
  auto id = std::make_shared<QVXPseudonymousID>(std::move(*uuid));
  if (last_activity.has_value()) id->setLastActivity(DateFromCoding(*last_activity));
  return id;
}

void QVXPseudonymousID::encodeWithCoder(NSCoder* coder) const {
  coder->encodeObject(uuid_, kUuidKey);
  if (last_activity_ != nullptr) coder->encodeObject(CodingDate(*last_activity_), kLastActivityKey);
}

bool QVXPseudonymousID::isValid() const {
  if (last_activity_ == nullptr) return false;
  return NSDate::date()->timeIntervalSinceDate(*last_activity_) <=
         kQVXPseudonymousIDLifetimeSeconds;
}

std::optional<std::string> QVXPseudonymousIDStore::fileSavePath() {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  auto folders =
      NSSearchPathForDirectoriesInDomains(NSApplicationSupportDirectory, NSUserDomainMask, true);
  if (folders.empty()) return std::nullopt;
  const std::string folder = folders.front() + "/" + kFolder;
  auto manager = NSFileManager::defaultManager();
  bool is_directory = false;
  if (!manager->fileExistsAtPath(folder, &is_directory) || !is_directory) {
    std::shared_ptr<NSError> error;
    if (!manager->createDirectoryAtPath(folder, true, {}, &error)) {
      NSLog("%s", platform::utility::StringWithFormat(
                      "Unable to create internal state storage: %@", {error})
                      .c_str());
      return std::nullopt;
    }
  }
  return folder + "/" + kFileName;
}

std::optional<std::string> QVXPseudonymousIDStore::loadPseudonymousID() {
  auto path = fileSavePath();
  if (!path.has_value() || path->empty()) return std::nullopt;

  std::shared_ptr<QVXPseudonymousID> id;
  std::shared_ptr<NSError> error;
  if (auto bytes = NSDataWithContentsOfFile(*path, &error)) {
    // A file that is not an identifier archive counts as no file.
    id = NSKeyedUnarchiver::unarchivedObjectOfClass<QVXPseudonymousID>(*bytes, &error);
  }
  if (id == nullptr || !id->isValid()) id = QVXPseudonymousID::init();
  id->setLastActivity(NSDate::date());

  auto archive = NSKeyedArchiver::archivedDataWithRootObject(id, true, &error);
  if (!archive.has_value() ||
      !NSDataWriteToFile(*archive, *path, NSDataWritingAtomic, &error)) {
    return std::nullopt;
  }
  return id->uuid();
}
