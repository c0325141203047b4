#include "platform/uikit/view_coding.h"

namespace platform::uikit {

void EncodeViewFrame(NSCoder* coder, CGRect frame) {
  coder->encodeDouble(frame.origin.x, "UIFrameX");
  coder->encodeDouble(frame.origin.y, "UIFrameY");
  coder->encodeDouble(frame.size.width, "UIFrameWidth");
  coder->encodeDouble(frame.size.height, "UIFrameHeight");
}

std::optional<CGRect> DecodeViewFrame(NSCoder* coder) {
  if (coder == nullptr || coder->error() != nullptr) return std::nullopt;
  const CGRect frame = CGRectMake(
      coder->decodeDoubleForKey("UIFrameX"), coder->decodeDoubleForKey("UIFrameY"),
      coder->decodeDoubleForKey("UIFrameWidth"), coder->decodeDoubleForKey("UIFrameHeight"));
  // A key of another kind fails the decoding.
  if (coder->error() != nullptr) return std::nullopt;
  return frame;
}

}  // namespace platform::uikit
