#include "usage_base/client_info.h"

#include <cstdlib>
#include <typeinfo>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/device.h"
#include "platform/foundation/ns_locale.h"
#include "platform/foundation/ns_notification_center.h"
#include "platform/uikit/ui_accessibility.h"

namespace {

std::optional<std::string> InfoString(const NSBundle& bundle, const std::string& key) {
  std::any value = bundle.objectForInfoDictionaryKey(key);
  if (const auto* text = std::any_cast<std::string>(&value)) return *text;
  if (const auto* text = std::any_cast<const char*>(&value)) return std::string(*text);
  return std::nullopt;
}

}  // namespace

std::unique_ptr<ClientInfo> JQXClientInfoMaker::makeClientInfoInternal() {
  static const ClientInfo* cached = [] {
    auto* info = new ClientInfo;
    info->set_client_type(ClientInfo::Ios);
    IosClientInfo* ios = info->mutable_ios_client_info();
    auto bundle = NSBundle::mainBundle();
    if (auto build = InfoString(*bundle, kCFBundleVersionKey)) ios->set_application_build(*build);
    if (auto version = InfoString(*bundle, "CFBundleShortVersionString")) {
      ios->set_application_version(*version);
    }
    ios->set_model(JQXDeviceModel());
    std::string system = UIDevice::currentDevice()->systemVersion();
    ios->set_os_full_version(system);
    ios->set_os_major_version(system.substr(0, system.find('.')));
    JQXClientInfoMaker maker;
    if (auto country = maker.currentCountryCode()) ios->set_country(*country);
    ios->set_language_code(maker.currentLanguageCode());
    ios->set_application_build_cl(JQXTrassenVersion::changelist());
    ios->set_trassen_version(JQXTrassenVersion::libraryVersion());
    std::string identifier = bundle->bundleIdentifier();
    if (!identifier.empty()) ios->set_application_bundle_id(identifier);
    return info;
  }();
  return std::make_unique<ClientInfo>(*cached);
}

std::unique_ptr<ClientInfo> JQXClientInfoMaker::makeClientInfo() const {
  std::unique_ptr<ClientInfo> info = makeClientInfoInternal();
  IosClientInfo* ios = info->mutable_ios_client_info();
  if (auto country = currentCountryCode()) {
    ios->set_country(*country);
  } else {
    ios->clear_country();
  }
  ios->set_language_code(currentLanguageCode());
  if (auto accessibility = currentAccessibilityState()) {
    *ios->mutable_accessibility_state() = *accessibility;
  }
  return info;
}

std::optional<std::string> JQXClientInfoMaker::currentCountryCode() const {
  return NSLocale::currentLocale()->countryCode();
}

std::string JQXClientInfoMaker::currentLanguageCode() const {
  auto localizations = NSBundle::mainBundle()->preferredLocalizations();
  return localizations.empty() ? "en" : localizations.front();
}

std::unique_ptr<IosAccessibilityState> JQXClientInfoMaker::currentAccessibilityState() const {
  auto ax = JQXUIKitAXUtils::sharedInstance();
  auto state = std::make_unique<IosAccessibilityState>();
  bool any = false;
  auto set = [&](bool on, void (IosAccessibilityState::*setter)(bool)) {
    if (!on) return;
    (state.get()->*setter)(true);
    any = true;
  };
  set(ax->isAssistiveTouchRunning(), &IosAccessibilityState::set_assistive_touch_running);
  set(ax->isVoiceOverRunning(), &IosAccessibilityState::set_voice_over_running);
  set(ax->isSwitchControlRunning(), &IosAccessibilityState::set_switch_control_running);
  set(ax->isShakeToUndoEnabled(), &IosAccessibilityState::set_shake_to_undo_enabled);
  set(ax->isClosedCaptioningEnabled(), &IosAccessibilityState::set_closed_captioning_enabled);
  set(ax->isBoldTextEnabled(), &IosAccessibilityState::set_bold_text_enabled);
  set(ax->isDarkerSystemColorsEnabled(),
      &IosAccessibilityState::set_darker_system_colors_enabled);
  set(ax->isGrayscaleEnabled(), &IosAccessibilityState::set_grayscale_enabled);
  set(ax->isGuidedAccessEnabled(), &IosAccessibilityState::set_guided_access_enabled);
  set(ax->isInvertColorsEnabled(), &IosAccessibilityState::set_invert_colors_enabled);
  set(ax->isMonoAudioEnabled(), &IosAccessibilityState::set_mono_audio_enabled);
  set(ax->isReduceMotionEnabled(), &IosAccessibilityState::set_reduce_motion_enabled);
  set(ax->isSpeakScreenEnabled(), &IosAccessibilityState::set_speak_screen_enabled);
  set(ax->isSpeakSelectionEnabled(), &IosAccessibilityState::set_speak_selection_enabled);
  if (!any) return nullptr;
  return state;
}

std::string JQXDeviceModel() {
  static const std::string model = platform::foundation::DeviceMachine().value_or("");
  return model;
}

uint32_t QDLInfoPlistQuendalIDCodeForBundle(const NSBundle& bundle) {
  std::any value = bundle.objectForInfoDictionaryKey("QDLQuendalIDCode");
  if (!value.has_value()) return 0;
  if (const auto* text = std::any_cast<std::string>(&value)) {
    return static_cast<uint32_t>(std::strtoull(text->c_str(), nullptr, 10));
  }
  if (const auto* number = std::any_cast<int>(&value)) return static_cast<uint32_t>(*number);
  if (const auto* number = std::any_cast<long>(&value)) return static_cast<uint32_t>(*number);
  if (const auto* number = std::any_cast<long long>(&value)) return static_cast<uint32_t>(*number);
  if (const auto* number = std::any_cast<unsigned>(&value)) return *number;
  if (const auto* number = std::any_cast<unsigned long>(&value)) {
    return static_cast<uint32_t>(*number);
  }
  if (const auto* number = std::any_cast<double>(&value)) return static_cast<uint32_t>(*number);
  return 0;
}

uint32_t QDLInfoPlistQuendalIDCode() {
  static const uint32_t code = QDLInfoPlistQuendalIDCodeForBundle(*NSBundle::mainBundle());
  return code;
}

// --- JQXUIKitAXUtils -----------------------------------------------------------------------------

namespace {

// The platform queries in the order of the cached flags.
bool (*const kQueries[])() = {
    UIAccessibilityIsVoiceOverRunning,     UIAccessibilityIsAssistiveTouchRunning,
    UIAccessibilityIsSwitchControlRunning, UIAccessibilityIsShakeToUndoEnabled,
    UIAccessibilityIsClosedCaptioningEnabled, UIAccessibilityIsBoldTextEnabled,
    UIAccessibilityDarkerSystemColorsEnabled, UIAccessibilityIsGrayscaleEnabled,
    UIAccessibilityIsGuidedAccessEnabled, UIAccessibilityIsInvertColorsEnabled,
    UIAccessibilityIsMonoAudioEnabled,    UIAccessibilityIsReduceMotionEnabled,
    UIAccessibilityIsSpeakScreenEnabled,  UIAccessibilityIsSpeakSelectionEnabled,
};

}  // namespace

std::shared_ptr<JQXUIKitAXUtils> JQXUIKitAXUtils::sharedInstance() {
  static const std::shared_ptr<JQXUIKitAXUtils> shared = [] {
    auto utils = std::make_shared<JQXUIKitAXUtils>();
    utils->initPrivate();
    return utils;
  }();
  return shared;
}

void JQXUIKitAXUtils::initPrivate() {
  auto center = NSNotificationCenter::defaultCenter();
  std::weak_ptr<JQXUIKitAXUtils> weak = weak_from_this();
  for (const char* name : {
           UIAccessibilityVoiceOverStatusDidChangeNotification,
           UIAccessibilityAssistiveTouchStatusDidChangeNotification,
           UIAccessibilityShakeToUndoDidChangeNotification,
           UIAccessibilitySwitchControlStatusDidChangeNotification,
           UIAccessibilityClosedCaptioningStatusDidChangeNotification,
           UIAccessibilityBoldTextStatusDidChangeNotification,
           UIAccessibilityDarkerSystemColorsStatusDidChangeNotification,
           UIAccessibilityGrayscaleStatusDidChangeNotification,
           UIAccessibilityGuidedAccessStatusDidChangeNotification,
           UIAccessibilityInvertColorsStatusDidChangeNotification,
           UIAccessibilityMonoAudioStatusDidChangeNotification,
           UIAccessibilityReduceMotionStatusDidChangeNotification,
           UIAccessibilitySpeakScreenStatusDidChangeNotification,
           UIAccessibilitySpeakSelectionStatusDidChangeNotification,
       }) {
    center->addObserverForName(name, nullptr, [weak](const std::shared_ptr<NSNotification>&) {
      if (auto self = weak.lock()) self->accessibilityStateChanged();
    });
  }
  dispatch_async(dispatch_get_main_queue(), [weak] {
    auto self = weak.lock();
    if (self == nullptr) return;
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (!self->cache_initialized_) self->updateAccessibilityStateCacheLocked();
  });
}

void JQXUIKitAXUtils::updateAccessibilityStateCacheLocked() {
  for (int i = 0; i < kFeatureCount; ++i) flags_[i] = kQueries[i]();
  cache_initialized_ = true;
}

bool JQXUIKitAXUtils::isCacheInitialized() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!cache_initialized_ && IsMainThread()) updateAccessibilityStateCacheLocked();
  return cache_initialized_;
}

void JQXUIKitAXUtils::initializeCache() {
  if (!IsMainThread()) {
    NSAssert(false, "JQXUIKitAXUtils cache can only initialize from main thread.");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!cache_initialized_) updateAccessibilityStateCacheLocked();
}

bool JQXUIKitAXUtils::query(int feature) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (IsMainThread()) {
    if (!cache_initialized_) updateAccessibilityStateCacheLocked();
    flags_[feature] = kQueries[feature]();
    return flags_[feature];
  }
  if (cache_initialized_) return flags_[feature];
  return kQueries[feature]();
}

bool JQXUIKitAXUtils::isVoiceOverRunning() { return query(0); }
bool JQXUIKitAXUtils::isAssistiveTouchRunning() { return query(1); }
bool JQXUIKitAXUtils::isSwitchControlRunning() { return query(2); }
bool JQXUIKitAXUtils::isShakeToUndoEnabled() { return query(3); }
bool JQXUIKitAXUtils::isClosedCaptioningEnabled() { return query(4); }
bool JQXUIKitAXUtils::isBoldTextEnabled() { return query(5); }
bool JQXUIKitAXUtils::isDarkerSystemColorsEnabled() { return query(6); }
bool JQXUIKitAXUtils::isGrayscaleEnabled() { return query(7); }
bool JQXUIKitAXUtils::isGuidedAccessEnabled() { return query(8); }
bool JQXUIKitAXUtils::isInvertColorsEnabled() { return query(9); }
bool JQXUIKitAXUtils::isMonoAudioEnabled() { return query(10); }
bool JQXUIKitAXUtils::isReduceMotionEnabled() { return query(11); }
bool JQXUIKitAXUtils::isSpeakScreenEnabled() { return query(12); }
bool JQXUIKitAXUtils::isSpeakSelectionEnabled() { return query(13); }

void JQXUIKitAXUtils::accessibilityStateChanged() {
  if (IsMainThread()) {
    std::lock_guard<std::mutex> lock(mutex_);
    updateAccessibilityStateCacheLocked();
    return;
  }
  std::weak_ptr<JQXUIKitAXUtils> weak = weak_from_this();
  dispatch_async(dispatch_get_main_queue(), [weak] {
    if (auto self = weak.lock()) self->accessibilityStateChanged();
  });
}
