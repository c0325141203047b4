#ifndef PLATFORM_UIKIT_VIEW_CODING_H_
#define PLATFORM_UIKIT_VIEW_CODING_H_

// A view's part of an archive, for views made from a coder (initWithCoder): its frame, as the
// doubles "UIFrameX", "UIFrameY", "UIFrameWidth" and "UIFrameHeight" (absent keys read as 0).
//
//   NSKeyedArchiver archiver(false);
//   platform::uikit::EncodeViewFrame(&archiver, CGRectMake(0, 0, 320, 640));
//   ...
//   if (auto frame = platform::uikit::DecodeViewFrame(coder)) view = MakeView(*frame);
//
// Reading yields none when there is no coder, or when its decoding has already failed: then no
// view is made from it, as the platform's coder initialiser yields none.

#include <optional>

#include "platform/coregraphics/geometry.h"
#include "platform/foundation/ns_keyed_archiver.h"

namespace platform::uikit {

void EncodeViewFrame(NSCoder* coder, CGRect frame);
std::optional<CGRect> DecodeViewFrame(NSCoder* coder);

}  // namespace platform::uikit

#endif  // PLATFORM_UIKIT_VIEW_CODING_H_
