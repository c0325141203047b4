#ifndef VIEWS_GESTURE_RECOGNIZER_CENTER_H_
#define VIEWS_GESTURE_RECOGNIZER_CENTER_H_

// The point that stands for a gesture made with one or more fingers: the centre of the
// smallest rectangle that holds every current touch (not their average).
//
//   if (auto point = center(*recognizer, view)) { ... }   // touches (0,0) (10,0) (0,30): (5, 15)

#include <memory>
#include <optional>

#include "platform/coregraphics/geometry.h"
#include "platform/uikit/ui_gesture_recognizer.h"
#include "platform/uikit/ui_view.h"

// In `view`'s coordinates; none without touches. Reads the recogniser only (main thread).
std::optional<CGPoint> center(const UIGestureRecognizer& recognizer,
                              const std::shared_ptr<UIView>& view);

#endif  // VIEWS_GESTURE_RECOGNIZER_CENTER_H_
