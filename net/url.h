#pragma once

#include <QString>

namespace net {

// Split a resource address "host/path?query" at its first '/'.
QString urlHost(const QString& url);
QString urlPath(const QString& url);

// Percent-encodes text as Windows-1250 bytes; letters, digits and "-._~" stay.
QString percentEncode(const QString& text);
// The same, but text with a character the code page lacks goes as its UTF-8 bytes, so
// that the service (which reads either) still receives it as typed.
QString percentEncodeAsTyped(const QString& text);

}  // namespace net
