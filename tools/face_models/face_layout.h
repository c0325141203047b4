// What the synthetic face models know of a face: the canonical face's vertices, its footprint
// and a few named points, and the face-like patch they are made to see.
//
// The models treat an image as a brightness map (the mean of the colour channels, with
// everything below a quarter of full brightness counted as dark) and a face as a bright patch
// on a dark background shaped like the canonical face's footprint: an ellipse whose width and
// height are in the ratio kFaceHalfWidth : kFaceHalfHeight. Drawn eyes and mouth darker than
// the face barely move what the models see. From the patch's brightness moments they take
// its centre (the footprint's centre) and its spread along each image axis (the standard
// deviation of a uniform ellipse is half its half axis), and lay the canonical face over it:
// canonical x to the right of the image, canonical y up, so the face looks at the camera.
// Depth follows the landmark convention: smaller z is nearer the camera.
//
// Image coordinates of a canonical point (x, y) on a patch with centre (cx, cy) and half axes
// (a, b) in pixels:  (cx + x * a / kFaceHalfWidth,  cy - (y - kFaceCenterY) * b / kFaceHalfHeight).

#ifndef TOOLS_FACE_MODELS_FACE_LAYOUT_H_
#define TOOLS_FACE_MODELS_FACE_LAYOUT_H_

#include <array>
#include <vector>

namespace tools {
namespace face_models {

struct Point3 {
  double x = 0, y = 0, z = 0;
};

// The 468 vertices of the canonical face model, in centimetres, in landmark order.
const std::vector<Point3>& CanonicalVertices();

// The number of outline vertices, which follow the lip contours.
int CanonicalOutlineCount();

// The face detector's six key points in canonical centimetres: the eye on the image's left,
// the eye on its right, the nose tip, the mouth centre, then the ear points on the image's
// left and right. Key point 0 is left of key point 1 on an upright face; the first two
// are also the eye centres of the eyes model.
const std::array<Point3, 6>& DetectorKeyPoints();

// A face-like patch in an image, in pixels.
struct FacePatch {
  double center_x = 0;
  double center_y = 0;
  double half_width = 0;
  double half_height = 0;
};

// A patch `height` pixels high with the footprint's proportions.
FacePatch FacePatchOfHeight(double center_x, double center_y, double height);

// True when the pixel centre (x + 0.5, y + 0.5) lies inside the patch.
bool InsideFacePatch(const FacePatch& patch, int x, int y);

// Canonical (x, y) to image pixels on `patch`.
std::array<double, 2> ProjectOntoPatch(const FacePatch& patch, double x, double y);

}  // namespace face_models
}  // namespace tools

#endif  // TOOLS_FACE_MODELS_FACE_LAYOUT_H_
