// The platform's null object reference. Object references here are smart pointers or raw
// pointers, both of which compare with it, so checks read as the platform's own code does:
//
//   RET_CHECK(buffer != nil) << "Can't create Metal buffer";
#ifndef PLATFORM_OBJC_NIL_H_
#define PLATFORM_OBJC_NIL_H_

#include <cstddef>

inline constexpr std::nullptr_t nil = nullptr;

#endif  // PLATFORM_OBJC_NIL_H_
