// Version of the Quillmere framework, exported by libquillmere.so.
#ifndef QUILLMERE_FRAMEWORK_VERSION_H_
#define QUILLMERE_FRAMEWORK_VERSION_H_

extern "C" {
// The framework's version number.
extern const double QuillmereVersionNumber;
// The framework's version as a NUL-terminated text.
extern const unsigned char QuillmereVersionString[];
}

#endif  // QUILLMERE_FRAMEWORK_VERSION_H_
