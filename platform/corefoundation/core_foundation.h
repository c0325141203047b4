#ifndef PLATFORM_COREFOUNDATION_CORE_FOUNDATION_H_
#define PLATFORM_COREFOUNDATION_CORE_FOUNDATION_H_

// Everything of the Core Foundation stand-in: objects and their counts (object.h),
// arrays, dictionaries, numbers and booleans, strings and descriptions.

#include "platform/corefoundation/array.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/dictionary.h"
#include "platform/corefoundation/number.h"
#include "platform/corefoundation/object.h"

#endif  // PLATFORM_COREFOUNDATION_CORE_FOUNDATION_H_
