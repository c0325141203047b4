// Test helper: runs GL work that returns nothing in a context, failing the test when the
// context cannot be made current.

#ifndef GPU_TESTING_RUN_IN_GL_H_
#define GPU_TESTING_RUN_IN_GL_H_

#include "gpu/gl_context.h"
#include "gtest/gtest.h"

namespace pellumo::testing {

template <typename F>
void RunInGl(GlContext& context, F work) {
  const absl::Status status = context.Run([&]() -> absl::Status {
    work();
    return absl::OkStatus();
  });
  ASSERT_TRUE(status.ok()) << status;
}

}  // namespace pellumo::testing

#endif  // GPU_TESTING_RUN_IN_GL_H_
