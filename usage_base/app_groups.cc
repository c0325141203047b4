#include "usage_base/app_groups.h"

#include "platform/foundation/ns_file_manager.h"

namespace {

bool HasContainer(const std::string& group) {
  return NSFileManager::defaultManager()->containerURLForSecurityApplicationGroupIdentifier(
             group) != nullptr;
}

std::string DetermineFromProduction(const std::string& production) {
  return ZRBAppGroups::determineAppGroupWithProdAppGroup(
      production, production + kZRBEnterpriseAppGroupSuffix);
}

}  // namespace

std::string ZRBAppGroups::determineAppGroupWithProdAppGroup(
    const std::string& prodAppGroup, const std::string& enterpriseAppGroup) {
  if (HasContainer(prodAppGroup)) return prodAppGroup;
  if (HasContainer(enterpriseAppGroup)) return enterpriseAppGroup;
  return prodAppGroup;
}

std::string ZRBAppGroups::sharedAppGroupName() {
  static const std::string* name = new std::string(DetermineFromProduction(kZRBSharedAppGroup));
  return *name;
}

std::string ZRBAppGroups::sharedQuenbyAppGroupName() {
  static const std::string* name =
      new std::string(DetermineFromProduction(kZRBSharedQuenbyAppGroup));
  return *name;
}

std::shared_ptr<NSURL> zrb_brenvikSharedAppGroupContainer() {
  return NSFileManager::defaultManager()->containerURLForSecurityApplicationGroupIdentifier(
      ZRBAppGroups::sharedAppGroupName());
}

std::shared_ptr<NSURL> zrb_brenvikSharedQuenbyAppGroupContainer() {
  return NSFileManager::defaultManager()->containerURLForSecurityApplicationGroupIdentifier(
      ZRBAppGroups::sharedQuenbyAppGroupName());
}

std::shared_ptr<NSUserDefaults> zrb_brenvikCommonDefaults() {
  return NSUserDefaults::initWithSuiteName(ZRBAppGroups::sharedAppGroupName());
}

std::shared_ptr<NSUserDefaults> zrb_quenbyCommonDefaults() {
  return NSUserDefaults::initWithSuiteName(ZRBAppGroups::sharedQuenbyAppGroupName());
}
