#include "base/profile.h"

namespace base {

Profile::~Profile() = default;
int64_t Profile::period() const { return 0; }
void Profile::UnusedKeyMethod() {}

}  // namespace base
