// The maker's shared app groups: folders and user-defaults suites that all of the maker's apps
// on a device share.
//
// Each group has a production identifier and an enterprise one (the production identifier
// followed by ".enterprise"). An app holds the entitlement for one of them, or for none; the
// name used is decided once per process:
//
//   ZRBAppGroups::sharedAppGroupName();       // kZRBSharedAppGroup, or its enterprise form
//   auto container = zrb_brenvikSharedAppGroupContainer();   // null without the entitlement
//   auto defaults = zrb_brenvikCommonDefaults();             // the group's user defaults
//
// Containers come from NSFileManager::containerURLForSecurityApplicationGroupIdentifier
// (platform/foundation/sandbox.h maps group identifiers to folders).
#ifndef USAGE_BASE_APP_GROUPS_H_
#define USAGE_BASE_APP_GROUPS_H_

#include <memory>
#include <string>

#include "platform/foundation/ns_url.h"
#include "platform/foundation/ns_user_defaults.h"

// The production identifiers of the maker's common group and of the office-suite group.
inline constexpr char kZRBSharedAppGroup[] = "group.com.brenvik.common";
inline constexpr char kZRBSharedQuenbyAppGroup[] = "group.com.brenvik.quenby";
// What an enterprise identifier adds to its production identifier.
inline constexpr char kZRBEnterpriseAppGroupSuffix[] = ".enterprise";

class ZRBAppGroups {
 public:
  // `prodAppGroup` when the app has a container for it; else `enterpriseAppGroup` when it has
  // one for that; else `prodAppGroup`.
  static std::string determineAppGroupWithProdAppGroup(const std::string& prodAppGroup,
                                                       const std::string& enterpriseAppGroup);
  // The maker's common group, decided at the first call.
  static std::string sharedAppGroupName();
  // The office-suite group, decided at the first call.
  static std::string sharedQuenbyAppGroupName();
};

// The containers of the two groups, or null when the app lacks the entitlement.
std::shared_ptr<NSURL> zrb_brenvikSharedAppGroupContainer();
std::shared_ptr<NSURL> zrb_brenvikSharedQuenbyAppGroupContainer();

// A new user-defaults object for the suite named after each group.
std::shared_ptr<NSUserDefaults> zrb_brenvikCommonDefaults();
std::shared_ptr<NSUserDefaults> zrb_quenbyCommonDefaults();

#endif  // USAGE_BASE_APP_GROUPS_H_
