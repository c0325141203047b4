// Conversions between pixel buffers, CPU image frames and Core Graphics images, and vImage
// converters between pixel formats.
//
//   // A camera frame as an image frame, without copying unless the channels must be swapped:
//   std::unique_ptr<kaldren::ImageFrame> frame = CreateImageFrameForCVPixelBuffer(pixel_buffer);
//
//   // An image-frame packet as a pixel buffer over the frame's memory:
//   CFHolder<CVPixelBufferRef> buffer;
//   RETURN_IF_ERROR(CreateCVPixelBufferForImageFramePacket(packet, &buffer));
//
// Formats: 'BGRA' buffers become RGBA8 frames (channels swapped into a copy; or in place with
// `can_overwrite`; or left as they are, B, G, R, A, with `bgr_as_rgb`); 'RGBA', 'L008' and
// 24-bit RGB buffers become RGBA8, GRAY8 and RGB8 frames over the buffer's memory. Such a frame
// keeps the buffer retained and locked read-only until the frame lets go of its pixel data.
// In the other direction RGBA8 frames become 'BGRA' buffers and GRAY8 frames 'L008' buffers.
//
// Errors: CreateImageFrameForCVPixelBuffer has no status; a platform failure or an unsupported
// format ends the process. The functions with a status return platform failures as INTERNAL
// errors naming the platform call and its code, leave the holder unchanged on failure, and end
// the process only for a CGImage of a pixel format that has no Core Graphics layout here and
// for a packet that holds no image frame.
//
// The shared attributes dictionary and the three cached converters are made once, on first
// use, safely from any thread, and live for the process. Everything else is free of shared
// state.

#ifndef GPU_PIXEL_BUFFER_CONVERSIONS_H_
#define GPU_PIXEL_BUFFER_CONVERSIONS_H_

#include <memory>

#include "base/status.h"
#include "gpu/cf_holder.h"
#include "gpu/image_frame.h"
#include "graph/packet.h"
#include "platform/accelerate/vimage.h"
#include "platform/coregraphics/image.h"
#include "platform/corevideo/pixel_buffer.h"

// A frame over (or, for a channel swap, copied from) `image_buffer`.
std::unique_ptr<kaldren::ImageFrame> CreateImageFrameForCVPixelBuffer(CVPixelBufferRef image_buffer);
std::unique_ptr<kaldren::ImageFrame> CreateImageFrameForCVPixelBuffer(CVPixelBufferRef image_buffer,
                                                                      bool can_overwrite,
                                                                      bool bgr_as_rgb);

// A pixel buffer for the image frame of `image_frame_packet`, with one reference for the
// caller; a failure ends the process.
CVPixelBufferRef CreateCVPixelBufferForImageFramePacket(const kaldren::Packet& image_frame_packet);
absl::Status CreateCVPixelBufferForImageFramePacket(const kaldren::Packet& image_frame_packet,
                                                    CFHolder<CVPixelBufferRef>* out_buffer);
// With `can_overwrite` an RGBA8 frame's channels are swapped in place and the buffer shares
// its memory; otherwise an RGBA8 frame is copied into a new buffer. GRAY8 frames are always
// shared: the buffer keeps the packet's payload alive.
absl::Status CreateCVPixelBufferForImageFramePacket(const kaldren::Packet& image_frame_packet,
                                                    bool can_overwrite,
                                                    CFHolder<CVPixelBufferRef>* out_buffer);

// An image of a 'BGRA' (read as premultiplied) or 'L008' buffer. An image that cannot be
// made leaves the holder empty with an OK status.
absl::Status CreateCGImageFromCVPixelBuffer(CVPixelBufferRef image_buffer,
                                            CFHolder<CGImageRef>* image);
// A new 'BGRA' buffer (premultiplied) of `image` drawn upright.
absl::Status CreateCVPixelBufferFromCGImage(CGImageRef image, CFHolder<CVPixelBufferRef>* out_buffer);

// {kCVPixelFormatOpenGLESCompatibility: true, kCVPixelBufferIOSurfacePropertiesKey: {}};
// shared, not retained for the caller.
CFDictionaryRef GetCVPixelBufferAttributesForGlCompatibility();

// Conversions of 8-bit buffers through the cached converters; gray to BGRA gives alpha 255.
vImage_Error vImageGrayToBGRA(const vImage_Buffer* src, vImage_Buffer* dst);
vImage_Error vImageBGRAToGray(const vImage_Buffer* src, vImage_Buffer* dst);
vImage_Error vImageRGBAToGray(const vImage_Buffer* src, vImage_Buffer* dst);

// Converts between the pixel formats of two buffers that the caller has locked.
vImage_Error vImageConvertCVPixelBuffers(CVPixelBufferRef src, CVPixelBufferRef dst);

// Lists Core Video's pixel formats and their descriptions.
void DumpCVPixelFormats();

#endif  // GPU_PIXEL_BUFFER_CONVERSIONS_H_
