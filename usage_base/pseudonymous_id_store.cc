#include "usage_base/pseudonymous_id_store.h"

#include <string_view>

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/ns_http_cookie.h"
#include "platform/utility/base_logger.h"
#include "usage_base/app_groups.h"

namespace {

constexpr char kFolderName[] = "ZRBPseudonymousID";
constexpr char kFileName[] = "value.txt";
constexpr char kCookieName[] = "NID";

// Reports a problem of the store's `method` at error level through the shared base logger.
void LogError(const char* method, const char* format,
              const platform::utility::FormatArguments& arguments = {}) {
  const std::string function = std::string("ZRBPseudonymousIDStore::") + method;
  platform::utility::LogError(function.c_str(), format, arguments);
}

// The state shared by every store of the process, under its own lock.
struct ClassState {
  std::mutex mutex;
  std::shared_ptr<NSURL> default_directory;
  std::shared_ptr<ZRBPseudonymousIDStore> shared_instance;
  bool enabled = false;
};

ClassState& Class() {
  static auto* state = new ClassState();
  return *state;
}

bool IsEnabled() {
  ClassState& state = Class();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.enabled;
}

std::shared_ptr<NSURL> DefaultFolder() {
  ClassState& state = Class();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.default_directory == nullptr) return nullptr;
  return state.default_directory->URLByAppendingPathComponent(kFolderName, true);
}

bool ExcludeFromBackup(const NSURL& url, std::shared_ptr<NSError>* error) {
  return url.setResourceValue(true, NSURLIsExcludedFromBackupKey, error);
}

}  // namespace

std::shared_ptr<ZRBPseudonymousIDStore> ZRBPseudonymousIDStore::sharedInstance() {
  ClassState& state = Class();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.shared_instance == nullptr) state.shared_instance = init();
  return state.shared_instance;
}

void ZRBPseudonymousIDStore::setDefaultDirectory(std::shared_ptr<NSURL> url) {
  ClassState& state = Class();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (state.shared_instance == nullptr) {
    state.default_directory = std::move(url);
    return;
  }
  lock.unlock();
  NSAssert(false, "setDefaultDirectory should be called before sharedInstance is initialized.");
}

void ZRBPseudonymousIDStore::enable() {
  ClassState& state = Class();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.enabled = true;
}

void ZRBPseudonymousIDStore::disableForTest() {
  ClassState& state = Class();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.enabled = false;
}

std::shared_ptr<ZRBPseudonymousIDStore> ZRBPseudonymousIDStore::init() {
  return std::make_shared<ZRBPseudonymousIDStore>();
}

std::shared_ptr<NSURL> ZRBPseudonymousIDStore::FolderURL() {
  if (auto folder = DefaultFolder()) return folder;
  auto container = zrb_brenvikSharedAppGroupContainer();
  if (container == nullptr) return nullptr;
  return container->URLByAppendingPathComponent(kFolderName, true);
}

std::shared_ptr<NSURL> ZRBPseudonymousIDStore::pseudonymousIDURL() {
  auto folder = FolderURL();
  return folder ? folder->URLByAppendingPathComponent(kFileName, false) : nullptr;
}

bool ZRBPseudonymousIDStore::initializeStorage() {
  std::shared_ptr<NSURL> folder = DefaultFolder();
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (has_initialized_storage_) return true;
  if (folder == nullptr) {
    auto container = zrb_brenvikSharedAppGroupContainer();
    if (container == nullptr) {
      LogError(__func__, "Shared App Groups unavailable");
      return false;
    }
    folder = container->URLByAppendingPathComponent(kFolderName, true);
  }
  auto file = folder->URLByAppendingPathComponent(kFileName, false);
  auto manager = NSFileManager::defaultManager();
  std::shared_ptr<NSError> error;

  if (manager->fileExistsAtPath(file->path())) {
    if (!ExcludeFromBackup(*folder, &error)) {
      LogError(__func__, "Failed to exclude existing Pseudonymous ID folder from back up: %@",
               {error});
    }
    has_initialized_storage_ = true;
    return true;
  }

  const NSFileAttributes unprotected = {{NSFileProtectionKey, std::string(NSFileProtectionNone)}};
  if (!manager->createDirectoryAtURL(*folder, true, unprotected, &error) ||
      !ExcludeFromBackup(*folder, &error)) {
    LogError(__func__, "Could not create Pseudonymous ID Directory: %@", {error});
    return false;
  }

  // The seed is stored as it is, valid or not. Another app may make the file between the
  // check above and this write: its identifier is kept.
  std::string seed;
  if (auto defaults = zrb_brenvikCommonDefaults()) {
    seed = defaults->stringForKey(kZRBPseudonymousIDSeedKey).value_or("");
  }
  if (!NSDataWriteToURL(std::vector<uint8_t>(seed.begin(), seed.end()), *file,
                        NSDataWritingAtomic | NSDataWritingWithoutOverwriting, &error) &&
      !(error && error->code() == NSFileWriteFileExistsError)) {
    LogError(__func__, "Could not write Pseudonymous ID");
    return false;
  }

  if (!manager->setAttributes(unprotected, file->path(), &error) ||
      !ExcludeFromBackup(*file, &error)) {
    LogError(__func__, "Could not set Pseudonymous ID file permissions: %@", {error});
    return false;
  }
  has_initialized_storage_ = true;
  return true;
}

std::optional<std::string> ZRBPseudonymousIDStore::pseudonymousID() {
  if (!IsEnabled()) return std::nullopt;
  return pseudonymousIDWithoutCheckingEnabledStatus();
}

std::optional<std::string> ZRBPseudonymousIDStore::pseudonymousIDWithoutCheckingEnabledStatus() {
  if (!initializeStorage()) return std::nullopt;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto url = pseudonymousIDURL();
  if (url == nullptr) return std::nullopt;
  std::shared_ptr<NSError> error;
  std::optional<std::string> text = NSStringWithContentsOfURL(*url, &error);
  if (!text.has_value()) {
    LogError(__func__, "Could not retrieve Pseudonymous ID: %@", {error});
    return std::nullopt;
  }
  if (text->empty()) return std::nullopt;
  return text;
}

void ZRBPseudonymousIDStore::setPseudonymousID(const std::optional<std::string>& value) {
  if (!IsEnabled()) return;
  setPseudonymousIDWithoutCheckingEnabledStatus(value);
}

void ZRBPseudonymousIDStore::setPseudonymousIDWithoutCheckingEnabledStatus(
    const std::optional<std::string>& value) {
  if (!initializeStorage()) return;
  const std::string text = value.value_or("");
  if (!isValidPseudonymousID(text)) {
    LogError(__func__, "Skipped setting invalid pseudonymous ID: %@", {text});
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto url = pseudonymousIDURL();
  std::shared_ptr<NSError> error;
  if (url == nullptr || !NSDataWriteToURL(std::vector<uint8_t>(text.begin(), text.end()), *url,
                                          NSDataWritingAtomic, &error)) {
    LogError(__func__, "Could not overwrite Pseudonymous ID");
  }
  if (!text.empty()) return;
  // Observers may add or remove observers while they are told: each one alive now hears once.
  std::vector<std::shared_ptr<ZRBPseudonymousIDObserver>> live;
  for (const auto& weak : observers_) {
    if (auto observer = weak.lock()) live.push_back(std::move(observer));
  }
  auto self = shared_from_this();
  for (const auto& observer : live) observer->pseudonymousIDDidReset(self);
}

bool ZRBPseudonymousIDStore::isValidPseudonymousID(const std::string& value) {
  std::string_view rest = value;
  if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') {
    rest = rest.substr(1, rest.size() - 2);
  }
  for (unsigned char c : rest) {
    if (c < '!' || c > '~' || c == '"' || c == ',' || c == ';' || c == '\\') return false;
  }
  return true;
}

void ZRBPseudonymousIDStore::updateRequestWithPseudonymousID(NSMutableURLRequest& request) {
  if (!IsEnabled()) return;
  const std::string identifier = pseudonymousID().value_or("");
  // The file may hold an unchecked seed or another app's write: never put that in a header.
  if (!isValidPseudonymousID(identifier)) {
    LogError(__func__, "Skipped sending invalid pseudonymous ID: %@", {identifier});
    return;
  }
  request.setValue(std::string(kCookieName) + "=" + identifier, "Cookie");
}

std::optional<std::string> ZRBPseudonymousIDStore::setPseudonymousIDFromResponse(
    const NSHTTPURLResponse& response) {
  if (!IsEnabled()) return std::nullopt;
  if (auto url = NSURL::URLWithString(response.URL())) {
    for (const auto& cookie :
         NSHTTPCookie::cookiesWithResponseHeaderFields(response.allHeaderFields(), *url)) {
      if (cookie->name() == kCookieName) setPseudonymousID(cookie->value());
    }
  }
  return pseudonymousID();
}

void ZRBPseudonymousIDStore::addObserver(
    const std::shared_ptr<ZRBPseudonymousIDObserver>& observer) {
  if (observer == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : observers_) {
    if (weak.lock() == observer) return;
  }
  observers_.push_back(observer);
}

void ZRBPseudonymousIDStore::removeObserver(
    const std::shared_ptr<ZRBPseudonymousIDObserver>& observer) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::erase_if(observers_, [&](const auto& weak) {
    auto held = weak.lock();
    return held == nullptr || held == observer;
  });
}
