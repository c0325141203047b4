// The pseudonymous identifier that all of the maker's apps on a device share.
//
// The identifier is a short text kept in <base>/"ZRBPseudonymousID"/"value.txt", where <base> is
// the default directory when one is set and otherwise the container of the maker's common app
// group (app_groups.h). The file holds the identifier's bytes and nothing else; an empty file
// means there is none. Every write replaces the file atomically, so another app reading it sees
// the old or the new identifier, never a mixture, and every read goes to the file, so a value
// another app wrote is seen at the next read.
//
// Usage logging sends the identifier as the cookie "NID" and takes new values from the "NID"
// cookies of the service's answers, but only while the process-wide switch is on (it starts
// off). The ...WithoutCheckingEnabledStatus forms read and write whatever the switch says:
//
//   auto store = ZRBPseudonymousIDStore::sharedInstance();
//   store->setPseudonymousIDWithoutCheckingEnabledStatus("abc");
//   store->pseudonymousIDWithoutCheckingEnabledStatus();   // "abc"
//   ZRBPseudonymousIDStore::enable();
//   store->updateRequestWithPseudonymousID(*request);      // "Cookie: NID=abc"
//
// Only valid identifiers are stored (`isValidPseudonymousID`). Storing the empty identifier (a
// reset) tells every live observer, synchronously and under the store's lock, so an observer
// may call back into the store from the same thread. Problems (no container, file errors,
// invalid values) are logged at error level and end in nil, false or no effect; nothing reaches
// the caller.
#ifndef USAGE_BASE_PSEUDONYMOUS_ID_STORE_H_
#define USAGE_BASE_PSEUDONYMOUS_ID_STORE_H_

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ns_url.h"
#include "platform/foundation/ns_url_response.h"

// The user-defaults key (in the common app group's suite) of a value that seeds a new file.
inline constexpr char kZRBPseudonymousIDSeedKey[] = "com.brenvik.pseudonymousid.seed";

class ZRBPseudonymousIDStore;

class ZRBPseudonymousIDObserver {
 public:
  virtual ~ZRBPseudonymousIDObserver() = default;
  // The identifier was reset (set to the empty text).
  virtual void pseudonymousIDDidReset(const std::shared_ptr<ZRBPseudonymousIDStore>& store) = 0;
};

class ZRBPseudonymousIDStore : public std::enable_shared_from_this<ZRBPseudonymousIDStore> {
 public:
  // The process's store, made at the first call.
  static std::shared_ptr<ZRBPseudonymousIDStore> sharedInstance();
  // Replaces the base folder. Must come before the first `sharedInstance`; a later call
  // reports an assertion failure and changes nothing.
  static void setDefaultDirectory(std::shared_ptr<NSURL> url);
  // The process-wide switch of the cookie exchange; it starts off.
  static void enable();
  static void disableForTest();

  // A store of its own (tests); it shares the class-wide default directory and switch.
  static std::shared_ptr<ZRBPseudonymousIDStore> init();

  // Whether the file exists or was made now. Preparation is done once per store when it
  // succeeds and tried again at every use while it fails.
  bool initializeStorage();
  // The file, or null when there is neither a default directory nor a shared container.
  std::shared_ptr<NSURL> pseudonymousIDURL();

  // The identifier, or none when the switch is off, there is none or it cannot be read.
  std::optional<std::string> pseudonymousID();
  std::optional<std::string> pseudonymousIDWithoutCheckingEnabledStatus();
  // Stores `value` (none stands for the empty text) when it is valid; only while the switch
  // is on for the first form.
  void setPseudonymousID(const std::optional<std::string>& value);
  void setPseudonymousIDWithoutCheckingEnabledStatus(const std::optional<std::string>& value);

  // After removing one pair of enclosing double quotes (from a text of at least two
  // characters), every character lies between "!" and "~" and is none of the double quote,
  // comma, semicolon and backslash. The empty text is valid.
  static bool isValidPseudonymousID(const std::string& value);

  // With the switch on, sets the request's "Cookie" field to "NID=" and the identifier (just
  // "NID=" when there is none). A stored value that is not valid (a seed, another app's write)
  // sends no field and is logged.
  void updateRequestWithPseudonymousID(NSMutableURLRequest& request);
  // With the switch on, stores the value of every "NID" cookie of the response in turn and
  // answers `pseudonymousID()`; with the switch off, none.
  std::optional<std::string> setPseudonymousIDFromResponse(const NSHTTPURLResponse& response);

  // Observers are held weakly.
  void addObserver(const std::shared_ptr<ZRBPseudonymousIDObserver>& observer);
  void removeObserver(const std::shared_ptr<ZRBPseudonymousIDObserver>& observer);

  // Use the factories above.
  ZRBPseudonymousIDStore() = default;

 private:
  // The folder of the file, or null.
  std::shared_ptr<NSURL> FolderURL();

  std::recursive_mutex mutex_;
  std::vector<std::weak_ptr<ZRBPseudonymousIDObserver>> observers_;
  bool has_initialized_storage_ = false;
};

#endif  // USAGE_BASE_PSEUDONYMOUS_ID_STORE_H_
