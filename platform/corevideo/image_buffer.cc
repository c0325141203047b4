#include "platform/corevideo/image_buffer.h"

const CFStringRef kCVImageBufferChromaLocation_Left = CFSTR("Left");
const CFStringRef kCVImageBufferChromaLocation_Center = CFSTR("Center");
