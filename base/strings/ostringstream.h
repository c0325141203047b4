#ifndef BASE_STRINGS_OSTRINGSTREAM_H_
#define BASE_STRINGS_OSTRINGSTREAM_H_

#include <ostream>
#include <streambuf>
#include <string>

namespace strings {

// An output stream that appends everything written to it to a string owned by
// the caller. It keeps no buffer of its own, so the string is up to date after
// every write and stays as written when the stream goes away.
//
//   std::string text;
//   strings::OStringStream out(&text);
//   out << "n=" << 3;  // text == "n=3"
class OStringStream : private std::basic_streambuf<char>, public std::ostream {
 public:
  // `str` must outlive the stream; null is allowed until `set_str` binds one.
  explicit OStringStream(std::string* str) : std::ostream(this), str_(str) {}
  OStringStream(const OStringStream&) = delete;
  OStringStream& operator=(const OStringStream&) = delete;

  std::string* str() { return str_; }
  const std::string* str() const { return str_; }
  void set_str(std::string* str) { str_ = str; }

 private:
  using Buffer = std::basic_streambuf<char>;

  Buffer::int_type overflow(Buffer::int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;

  std::string* str_;
};

}  // namespace strings

#endif  // BASE_STRINGS_OSTRINGSTREAM_H_
