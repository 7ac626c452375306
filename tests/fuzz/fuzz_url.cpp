// net::urlHost / urlPath on any address, and percentEncode / percentEncodeAsTyped on any
// typed text.
#include <cstddef>
#include <cstdint>

#include "net/codepage.h"
#include "net/url.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void checkSplit(const QString& url) {
  const QString host = net::urlHost(url);
  const QString path = net::urlPath(url);
  FUZZ_CHECK_TEXT(host + path == url, url);
  FUZZ_CHECK_TEXT(path.isEmpty() || path.startsWith(QLatin1Char('/')), url);
  FUZZ_CHECK_TEXT(!host.contains(QLatin1Char('/')), url);
}

int hexValue(QChar c) {
  if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) return c.unicode() - '0';
  if (c >= QLatin1Char('A') && c <= QLatin1Char('F')) return c.unicode() - 'A' + 10;
  if (c >= QLatin1Char('a') && c <= QLatin1Char('f')) return c.unicode() - 'a' + 10;
  return -1;
}

bool unreserved(QChar c) {
  const char16_t u = c.unicode();
  return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' ||
         u == '.' || u == '_' || u == '~';
}

// Checks the alphabet of an encoded text and returns the bytes it stands for.
QByteArray percentDecode(const QString& encoded, const QString& input) {
  QByteArray bytes;
  for (qsizetype i = 0; i < encoded.size(); ++i) {
    const QChar c = encoded.at(i);
    if (c == QLatin1Char('%')) {
      const int hi = i + 1 < encoded.size() ? hexValue(encoded.at(i + 1)) : -1;
      const int lo = i + 2 < encoded.size() ? hexValue(encoded.at(i + 2)) : -1;
      FUZZ_CHECK_TEXT(hi >= 0 && lo >= 0, input);
      bytes.append(char(hi * 16 + lo));
      i += 2;
    } else {
      FUZZ_CHECK_TEXT(unreserved(c), input);
      bytes.append(char(c.unicode()));
    }
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  const QString asCp1250 = net::fromCp1250(bytes, int(size));
  const QString asUtf8 = QString::fromUtf8(bytes, qsizetype(size));
  checkSplit(asCp1250);
  checkSplit(asUtf8);

  for (const QString& text : {asUtf8, asCp1250}) {
    const QByteArray cp1250 = net::toCp1250(text);
    FUZZ_CHECK_TEXT(percentDecode(net::percentEncode(text), text) == cp1250, text);
    // As typed: the code page bytes when they hold the text, its UTF-8 otherwise.
    const QByteArray typed = net::fromCp1250(cp1250) == text ? cp1250 : text.toUtf8();
    FUZZ_CHECK_TEXT(percentDecode(net::percentEncodeAsTyped(text), text) == typed, text);
  }
  return 0;
}
