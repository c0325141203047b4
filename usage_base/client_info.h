// The description of the device and the app that every usage-log context and every
// experiment-configuration request carries (`ClientInfo`).
//
// What cannot change while the process runs (app build and version, device model, system
// version, library version, bundle identifier) is gathered once; country, language and the
// accessibility state are read again at every call:
//
//   auto info = JQXClientInfoMaker().makeClientInfo();   // a new message every call
//   info->ios_client_info().model();                      // the machine name, "" when unknown
//
// The accessibility settings come from `JQXUIKitAXUtils`, a cache that is filled on the main
// thread and refreshed by the system's change notifications, so that other threads (the log
// writer's queue) can read it. Until the main thread has filled it, other threads ask the
// platform directly.
#ifndef USAGE_BASE_CLIENT_INFO_H_
#define USAGE_BASE_CLIENT_INFO_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/ns_bundle.h"
#include "usage_base/log_wire.pb.h"

class JQXClientInfoMaker {
 public:
  virtual ~JQXClientInfoMaker() = default;

  // A new message: the cached fields with the current country, language and accessibility.
  std::unique_ptr<ClientInfo> makeClientInfo() const;
  // A copy of the cached message.
  static std::unique_ptr<ClientInfo> makeClientInfoInternal();

  // The sources read at every call; a subclass may replace them.
  // The current locale's region, or none.
  virtual std::optional<std::string> currentCountryCode() const;
  // The main bundle's first preferred localization, "en" when it has none.
  virtual std::string currentLanguageCode() const;
  // The features that are on, or null when none is.
  virtual std::unique_ptr<IosAccessibilityState> currentAccessibilityState() const;
};

// The device's machine name, read once per process; "" when the system does not tell it.
std::string JQXDeviceModel();

class JQXTrassenVersion {
 public:
  static int32_t libraryVersion() { return 2; }
  static int32_t changelist() { return 280981321; }
};

// The bundle's Info.plist value "QDLQuendalIDCode" as an unsigned 32-bit number; 0 when absent.
uint32_t QDLInfoPlistQuendalIDCodeForBundle(const NSBundle& bundle);
// The same for the main bundle, read once per process.
uint32_t QDLInfoPlistQuendalIDCode();

// The device's accessibility settings, cached for readers off the main thread. Every read and
// write of the cache happens under one lock.
class JQXUIKitAXUtils : public std::enable_shared_from_this<JQXUIKitAXUtils> {
 public:
  // Made at the first call; it observes the change notifications for the process.
  static std::shared_ptr<JQXUIKitAXUtils> sharedInstance();

  // On the main thread, fills the cache first when needed; answers whether it is filled.
  bool isCacheInitialized();
  // Fills the cache when it is not; must be called on the main thread (elsewhere a misuse that
  // does nothing).
  void initializeCache();

  // On the main thread: ask the platform, remember and answer. Elsewhere: the cached value once
  // the cache is filled, else the platform's answer (not remembered).
  bool isVoiceOverRunning();
  bool isAssistiveTouchRunning();
  bool isSwitchControlRunning();
  bool isShakeToUndoEnabled();
  bool isClosedCaptioningEnabled();
  bool isBoldTextEnabled();
  bool isDarkerSystemColorsEnabled();
  bool isGrayscaleEnabled();
  bool isGuidedAccessEnabled();
  bool isInvertColorsEnabled();
  bool isMonoAudioEnabled();
  bool isReduceMotionEnabled();
  bool isSpeakScreenEnabled();
  bool isSpeakSelectionEnabled();

  // A change notification: refills the cache on the main thread.
  void accessibilityStateChanged();

  // Use sharedInstance().
  JQXUIKitAXUtils() = default;

 private:
  static constexpr int kFeatureCount = 14;
  void initPrivate();
  void updateAccessibilityStateCacheLocked();
  bool query(int feature);

  std::mutex mutex_;
  bool cache_initialized_ = false;
  bool flags_[kFeatureCount] = {};
};

#endif  // USAGE_BASE_CLIENT_INFO_H_
