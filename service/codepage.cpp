// Text conversions between the service's UTF-8 tables and the Windows-1250 wire.
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "service/internal.h"

namespace service::detail {
namespace {

std::size_t utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// Runs iconv over the whole input; on a byte it cannot convert, appends `replacement`
// and skips `skip(byte)` input bytes, so conversion never fails as a whole.
template <typename Skip>
std::string convert(const char* to, const char* from, const std::string& input,
                    const std::string& replacement, Skip skip) {
  // A descriptor per call: iconv_t keeps state and connections run on many threads.
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  std::string out;
  out.reserve(input.size() * 2);
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  char buffer[256];
  while (inLeft > 0) {
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    std::size_t r = iconv(cd, &in, &inLeft, &dst, &dstLeft);
    out.append(buffer, dst);
    if (r != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ or a truncated sequence at the end.
    out += replacement;
    std::size_t n = std::min(skip(static_cast<unsigned char>(*in)), inLeft);
    in += n;
    inLeft -= n;
  }
  iconv_close(cd);
  return out;
}

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string toCp1250(const std::string& utf8) {
  return convert("WINDOWS-1250", "UTF-8", utf8, "?", utf8SequenceLength);
}

std::string fromCp1250(const std::string& bytes) {
  return convert("UTF-8", "WINDOWS-1250", bytes, "\xEF\xBF\xBD",
                 [](unsigned char) { return std::size_t{1}; });
}

bool isValidUtf8(const std::string& bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    std::size_t n = utf8SequenceLength(lead);
    if (n == 1 && lead >= 0x80) return false;
    if (i + n > bytes.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

std::string percentEncode(const std::string& utf8) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  const std::string cp1250 = toCp1250(utf8);
  // Text the code page cannot carry goes as UTF-8, which the routes read as well.
  const std::string& bytes = fromCp1250(cp1250) == utf8 ? cp1250 : utf8;
  for (char ch : bytes) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (isUnreserved(c)) {
      out += ch;
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

std::string percentDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = hexValue(text[i + 1]);
      int lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

}  // namespace service::detail
