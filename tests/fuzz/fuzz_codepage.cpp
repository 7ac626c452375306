// net::fromCp1250 / toCp1250: bytes from the service, and any text the user could type.
#include <cstddef>
#include <cstdint>

#include "net/codepage.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// The five bytes Windows-1250 leaves without a character.
bool undefinedByte(unsigned char b) {
  return b == 0x81 || b == 0x83 || b == 0x88 || b == 0x90 || b == 0x98;
}

// Every character of the code page, from decoding all 256 bytes.
const QString& codePage() {
  static const QString all = [] {
    QByteArray b(256, 0);
    for (int i = 0; i < 256; ++i) b[i] = char(i);
    return net::fromCp1250(b);
  }();
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* raw = reinterpret_cast<const char*>(data);
  const QByteArray bytes(raw, qsizetype(size));

  // Bytes to text: one character per byte, the same through both overloads.
  const QString text = net::fromCp1250(bytes);
  FUZZ_CHECK(text.size() == bytes.size());
  FUZZ_CHECK(net::fromCp1250(raw, int(size)) == text);

  // Text back to bytes: every defined byte comes back as itself, an undefined one as '?'.
  const QByteArray back = net::toCp1250(text);
  FUZZ_CHECK(back.size() == bytes.size());
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes.at(i));
    if (undefinedByte(b)) {
      FUZZ_CHECK(text.at(i) == QChar(QChar::ReplacementCharacter));
      FUZZ_CHECK(back.at(i) == '?');
    } else {
      FUZZ_CHECK(back.at(i) == bytes.at(i));
      FUZZ_CHECK(b < 0x80 ? text.at(i).unicode() == b : text.at(i).unicode() >= 0x80);
    }
  }

  // Any typed text: one byte per character (a pair of surrogates is one character), and
  // every character the code page has decodes back to itself.
  const QString typed = QString::fromUtf8(bytes);
  const QByteArray encoded = net::toCp1250(typed);
  const QString decoded = net::fromCp1250(encoded);
  qsizetype j = 0;
  for (qsizetype i = 0; i < typed.size(); ++i, ++j) {
    FUZZ_CHECK(j < encoded.size());
    const QChar c = typed.at(i);
    if (c.isHighSurrogate() && i + 1 < typed.size() && typed.at(i + 1).isLowSurrogate()) {
      FUZZ_CHECK(encoded.at(j) == '?');
      ++i;
    } else if (encoded.at(j) != '?') {
      FUZZ_CHECK(decoded.at(j) == c);
    } else {
      // '?' only for '?' itself or a character the code page lacks.
      FUZZ_CHECK(c == QLatin1Char('?') || c == QChar(QChar::ReplacementCharacter) ||
                 !codePage().contains(c));
    }
  }
  FUZZ_CHECK(j == encoded.size());
  return 0;
}
