// The service speaks Windows-1250; every text crossing the network goes through here.
#pragma once

#include <QByteArray>
#include <QString>

namespace net {

// One byte to one character (bytes without a character in the code page map to U+FFFD).
QString fromCp1250(const QByteArray& bytes);
QString fromCp1250(const char* bytes, int length);
// Characters that the code page lacks become '?'.
QByteArray toCp1250(const QString& text);

}  // namespace net
