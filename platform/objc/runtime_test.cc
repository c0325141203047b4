#include "platform/objc/runtime.h"

#include "gtest/gtest.h"

namespace platform::objc {
namespace {

// Registered from static initialisers, as classes of a host program are.
const Protocol* const kBase = RegisterProtocol("RuntimeTestBase", {});
const Protocol* const kDerived = RegisterProtocol("RuntimeTestDerived", {kBase});
const Protocol* const kOther = RegisterProtocol("RuntimeTestOther", {});
const Class* const kAnimal = RegisterClass("RuntimeTestAnimal", nullptr, {kDerived});
const Class* const kDog = RegisterClass("RuntimeTestDog", kAnimal, {kOther});

TEST(ObjcRuntimeTest, LooksUpStaticallyRegisteredNames) {
  EXPECT_EQ(NSClassFromString("RuntimeTestDog"), kDog);
  EXPECT_EQ(NSProtocolFromString("RuntimeTestDerived"), kDerived);
  EXPECT_EQ(NSProtocolFromString("NSObject"), NSObjectProtocol());
  EXPECT_EQ(NSClassFromString("RuntimeTestMissing"), nullptr);
  EXPECT_EQ(NSProtocolFromString("RuntimeTestMissing"), nullptr);
  EXPECT_EQ(kDog->superclass(), kAnimal);
  // A second registration answers the first object.
  EXPECT_EQ(RegisterClass("RuntimeTestDog", nullptr, {}), kDog);
  EXPECT_EQ(RegisterProtocol("RuntimeTestBase", {kOther}), kBase);
  EXPECT_FALSE(kBase->conformsToProtocol(kOther));
}

TEST(ObjcRuntimeTest, SubclassAndConformance) {
  EXPECT_TRUE(kDog->isSubclassOfClass(kDog));
  EXPECT_TRUE(kDog->isSubclassOfClass(kAnimal));
  EXPECT_FALSE(kAnimal->isSubclassOfClass(kDog));
  EXPECT_FALSE(kDog->isSubclassOfClass(nullptr));

  struct Case {
    const Class* cls;
    const Protocol* protocol;
    bool conforms;
  };
  for (const Case& c : {Case{kAnimal, kDerived, true}, Case{kAnimal, kBase, true},
                        Case{kAnimal, kOther, false}, Case{kDog, kBase, true},
                        Case{kDog, kOther, true}, Case{kAnimal, NSObjectProtocol(), true},
                        Case{kAnimal, nullptr, false}}) {
    EXPECT_EQ(c.cls->conformsToProtocol(c.protocol), c.conforms)
        << c.cls->name() << " " << (c.protocol ? c.protocol->name() : "null");
  }
  EXPECT_TRUE(kDerived->conformsToProtocol(kBase));
  EXPECT_FALSE(kBase->conformsToProtocol(kDerived));
  EXPECT_TRUE(kOther->conformsToProtocol(NSObjectProtocol()));
}

}  // namespace
}  // namespace platform::objc
