// A broken invariant of what a build-time generator makes stops the build with a message
// instead of writing a wrong resource.
#ifndef TOOLS_REQUIRE_H_
#define TOOLS_REQUIRE_H_

#include <cstdio>
#include <cstdlib>

namespace tools {

// Prints "<who>: <what>" and aborts unless `condition` holds.
inline void Require(bool condition, const char* who, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "%s: %s\n", who, what);
    std::abort();
  }
}

}  // namespace tools

#endif  // TOOLS_REQUIRE_H_
