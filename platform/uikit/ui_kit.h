#ifndef PLATFORM_UIKIT_UI_KIT_H_
#define PLATFORM_UIKIT_UI_KIT_H_

// Everything of the UIKit stand-in in one include.

#include "platform/uikit/console.h"
#include "platform/uikit/layout.h"
#include "platform/uikit/ui_application.h"
#include "platform/uikit/ui_button.h"
#include "platform/uikit/ui_color.h"
#include "platform/uikit/ui_gesture_recognizer.h"
#include "platform/uikit/ui_image.h"
#include "platform/uikit/ui_view.h"

#endif  // PLATFORM_UIKIT_UI_KIT_H_
