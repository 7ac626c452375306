#include "net/url.h"

#include "net/codepage.h"

namespace net {

QString urlHost(const QString& url) {
  const qsizetype slash = url.indexOf(QLatin1Char('/'));
  return slash < 0 ? url : url.left(slash);
}

QString urlPath(const QString& url) {
  const qsizetype slash = url.indexOf(QLatin1Char('/'));
  return slash < 0 ? QString() : url.mid(slash);
}

namespace {

QString percentEncodeBytes(const QByteArray& bytes) {
  static const char hex[] = "0123456789ABCDEF";
  QByteArray out;
  out.reserve(bytes.size() * 3);
  for (const char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    const bool keep = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                      b == '-' || b == '.' || b == '_' || b == '~';
    if (keep) {
      out.append(ch);
    } else {
      out.append('%');
      out.append(hex[b >> 4]);
      out.append(hex[b & 0x0F]);
    }
  }
  return QString::fromLatin1(out);
}

}  // namespace

QString percentEncode(const QString& text) { return percentEncodeBytes(toCp1250(text)); }

QString percentEncodeAsTyped(const QString& text) {
  const QByteArray cp1250 = toCp1250(text);
  return percentEncodeBytes(fromCp1250(cp1250) == text ? cp1250 : text.toUtf8());
}

}  // namespace net
