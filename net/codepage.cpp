#include "net/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace net {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// The code page has only 256 entries, so iconv is asked once per byte and the answers
// are kept; after that a conversion is a table lookup instead of an iconv round trip.
struct Tables {
  std::array<char16_t, 256> toUnicode{};
  // Non-ASCII characters of the code page, sorted by character, for encoding.
  std::vector<std::pair<char16_t, char>> fromUnicode;

  Tables() {
    for (int b = 0; b < 128; ++b) toUnicode[b] = char16_t(b);
    for (int b = 128; b < 256; ++b) toUnicode[b] = kReplacement;

    iconv_t cd = iconv_open("UTF-16LE", "CP1250");
    if (cd != iconv_t(-1)) {
      for (int b = 128; b < 256; ++b) {
        char in = char(b);
        unsigned char out[8] = {};
        char* inPtr = &in;
        char* outPtr = reinterpret_cast<char*>(out);
        std::size_t inLeft = 1;
        std::size_t outLeft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);  // reset shift state
        const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        // Bytes the code page leaves undefined fail with EILSEQ and stay U+FFFD.
        if (rc != std::size_t(-1) && inLeft == 0 && sizeof out - outLeft == 2)
          toUnicode[b] = char16_t(out[0] | (out[1] << 8));
      }
      iconv_close(cd);
    }

    for (int b = 128; b < 256; ++b)
      if (toUnicode[b] != kReplacement) fromUnicode.emplace_back(toUnicode[b], char(b));
    std::sort(fromUnicode.begin(), fromUnicode.end());
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

bool isAscii(const char* bytes, int length) {
  for (int i = 0; i < length; ++i)
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
  return true;
}

char encodeOne(const Tables& t, char16_t c) {
  const auto it = std::lower_bound(
      t.fromUnicode.begin(), t.fromUnicode.end(), c,
      [](const std::pair<char16_t, char>& entry, char16_t key) { return entry.first < key; });
  if (it != t.fromUnicode.end() && it->first == c) return it->second;
  return '?';
}

}  // namespace

QString fromCp1250(const char* bytes, int length) {
  if (!bytes || length <= 0) return QString();
  if (isAscii(bytes, length)) return QString::fromLatin1(bytes, length);

  const Tables& t = tables();
  QString text(length, Qt::Uninitialized);
  auto* out = reinterpret_cast<char16_t*>(text.data());
  for (int i = 0; i < length; ++i) out[i] = t.toUnicode[static_cast<unsigned char>(bytes[i])];
  return text;
}

QString fromCp1250(const QByteArray& bytes) {
  return fromCp1250(bytes.constData(), int(bytes.size()));
}

QByteArray toCp1250(const QString& text) {
  const qsizetype n = text.size();
  const QChar* in = text.constData();
  bool ascii = true;
  for (qsizetype i = 0; i < n && ascii; ++i) ascii = in[i].unicode() < 0x80;
  if (ascii) return text.toLatin1();

  const Tables& t = tables();
  QByteArray bytes;
  bytes.reserve(n);
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t c = in[i].unicode();
    if (c < 0x80) {
      bytes.append(char(c));
    } else if (QChar::isHighSurrogate(c) && i + 1 < n &&
               QChar::isLowSurrogate(in[i + 1].unicode())) {
      bytes.append('?');  // one character outside the BMP, one '?'
      ++i;
    } else {
      bytes.append(encodeOne(t, c));
    }
  }
  return bytes;
}

}  // namespace net
