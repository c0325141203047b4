#include <dlfcn.h>

#include <string>

#include "gtest/gtest.h"

// The shared framework exports its version and the registrations of its libraries.
TEST(FrameworkTest, SharedLibraryExportsVersion) {
  void* handle = dlopen(QM_FRAMEWORK_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto* number = static_cast<const double*>(dlsym(handle, "QuillmereVersionNumber"));
  auto* text = static_cast<const unsigned char*>(dlsym(handle, "QuillmereVersionString"));
  ASSERT_NE(number, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(*number, 1.0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text)), "Quillmere 1.0");
  EXPECT_NE(dlsym(handle, "_ZN7kaldren15CalculatorGraphC1Ev"), nullptr);
  dlclose(handle);
}
