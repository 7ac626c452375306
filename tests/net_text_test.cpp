// Address splitting, percent-encoding and the Windows-1250 conversion.
#include <gtest/gtest.h>

#include <QString>
#include <ostream>

#include "net/codepage.h"
#include "net/url.h"

static void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

struct SplitCase {
  const char* url;
  const char* host;
  const char* path;
};

TEST(NetUrl, SplitsAtTheFirstSlash) {
  const SplitCase cases[] = {
      {"127.0.0.1:8080/z/e/zelvo/basix_raktar.php", "127.0.0.1:8080",
       "/z/e/zelvo/basix_raktar.php"},
      {"abc", "abc", ""},
      {"http://x/y", "http:", "//x/y"},
      {"h:1/z/e/zelvo/basix2.php?a=x/y&b=%41", "h:1", "/z/e/zelvo/basix2.php?a=x/y&b=%41"},
      {"/only/path", "", "/only/path"},
      {"host/", "host", "/"},
      {"", "", ""},
      {"ház:80/fő ág", "ház:80", "/fő ág"},
  };
  for (const auto& c : cases) {
    const QString url = QString::fromUtf8(c.url);
    EXPECT_EQ(net::urlHost(url), QString::fromUtf8(c.host)) << c.url;
    EXPECT_EQ(net::urlPath(url), QString::fromUtf8(c.path)) << c.url;
    EXPECT_EQ(net::urlHost(url) + net::urlPath(url), url) << c.url;
  }
}

TEST(NetUrl, PercentEncodesWindows1250Bytes) {
  const std::pair<const char*, const char*> cases[] = {
      {" ", "%20"},
      {"&", "%26"},
      {"%", "%25"},
      {"#", "%23"},
      {"\n", "%0A"},
      {"ő", "%F5"},
      {"Ű", "%DB"},
      {"-._~", "-._~"},
      {"AZaz09", "AZaz09"},
      {"a b/c?d=e", "a%20b%2Fc%3Fd%3De"},
      {"€", "%80"},
      {"日", "%3F"},  // not in the code page: its '?' is encoded
      {"", ""},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(net::percentEncode(QString::fromUtf8(in)), QString::fromLatin1(out)) << in;
}

bool undefinedInCp1250(int b) {
  return b == 0x81 || b == 0x83 || b == 0x88 || b == 0x90 || b == 0x98;
}

TEST(NetCodepage, EveryByteIsOneCharacterAndDefinedBytesRoundTrip) {
  QByteArray all;
  for (int b = 0; b < 256; ++b) all.append(char(b));
  const QString text = net::fromCp1250(all);
  ASSERT_EQ(text.size(), 256);

  for (int b = 0; b < 256; ++b) {
    const QChar c = text.at(b);
    EXPECT_EQ(c == QChar(0xFFFD), undefinedInCp1250(b)) << "byte " << b;
    if (b < 0x80) {
      EXPECT_EQ(c.unicode(), b) << "byte " << b;
    }
    if (undefinedInCp1250(b)) continue;
    EXPECT_EQ(net::toCp1250(QString(c)), QByteArray(1, char(b))) << "byte " << b;
  }
  // Decoded a whole text at once, not only byte by byte.
  QByteArray defined;
  for (int b = 0; b < 256; ++b)
    if (!undefinedInCp1250(b)) defined.append(char(b));
  EXPECT_EQ(net::toCp1250(net::fromCp1250(defined)), defined);
}

TEST(NetCodepage, HungarianLettersAndMissingCharacters) {
  const std::pair<const char*, unsigned char> letters[] = {
      {"ő", 0xF5}, {"ű", 0xFB}, {"Ő", 0xD5}, {"Ű", 0xDB},      {"á", 0xE1},
      {"É", 0xC9}, {"€", 0x80}, {"Š", 0x8A}, {"\u00A0", 0xA0},
  };
  for (const auto& [utf8, byte] : letters) {
    const QString letter = QString::fromUtf8(utf8);
    EXPECT_EQ(net::toCp1250(letter), QByteArray(1, char(byte))) << utf8;
    EXPECT_EQ(net::fromCp1250(QByteArray(1, char(byte))), letter) << utf8;
  }

  // ASCII around non-ASCII, and characters the code page lacks (one '?' each, a
  // character outside the BMP included).
  EXPECT_EQ(net::toCp1250(QString::fromUtf8("Tűz-ñ日\U0001F600!")), QByteArray("T\xFBz-???"
                                                                               "!"));
  EXPECT_EQ(net::fromCp1250(QByteArray("a\tb\r\n\xF5\x81z")),
            QString::fromUtf8("a\tb\r\nő\uFFFDz"));
  EXPECT_EQ(net::fromCp1250("xyz\xFB", 2), QString("xy"));
  EXPECT_TRUE(net::fromCp1250(QByteArray()).isEmpty());
  EXPECT_TRUE(net::toCp1250(QString()).isEmpty());
}

}  // namespace
