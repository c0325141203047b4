// One JSON line per processed frame, for the demo's frames.jsonl:
//
//   {"frame":3,"name":"frame_0003","timestamp":0.1,"face":true,
//    "center":[16 numbers],"regions":{"nose_tip":[16],"forehead_left":[16],
//    "forehead_right":[16]},"vertices":468}
//
// Poses are 4x4 matrices in metres, column-major (translation in the last four numbers but
// one). Without a face "center" and "regions" are null and "vertices" is 0. A number that is
// not finite is written as null, so every line stays valid JSON.
#ifndef EXAMPLES_FACE_DEMO_FRAME_REPORT_H_
#define EXAMPLES_FACE_DEMO_FRAME_REPORT_H_

#include <cstddef>
#include <string>

#include "face_sdk/augmented_face_frame.h"

namespace face_demo {

// The line without its line break.
std::string FrameJson(size_t index, const std::string& name, const QVXAugmentedFaceFrame& frame);

}  // namespace face_demo

#endif  // EXAMPLES_FACE_DEMO_FRAME_REPORT_H_
