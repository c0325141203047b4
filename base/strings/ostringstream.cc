#include "base/strings/ostringstream.h"

namespace strings {

OStringStream::Buffer::int_type OStringStream::overflow(Buffer::int_type c) {
  if (str_ != nullptr && !Buffer::traits_type::eq_int_type(c, Buffer::traits_type::eof())) {
    str_->push_back(Buffer::traits_type::to_char_type(c));
  }
  return 1;
}

std::streamsize OStringStream::xsputn(const char* s, std::streamsize n) {
  if (str_ != nullptr && n > 0) str_->append(s, static_cast<size_t>(n));
  return n;
}

}  // namespace strings
