#include "framework/version.h"

extern "C" {
const double QuillmereVersionNumber = 1.0;
const unsigned char QuillmereVersionString[] = "Quillmere 1.0";
}
