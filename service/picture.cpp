// The example picture: a sketch of an address bar with the film identifier marked,
// drawn here and packed as a PNG so no binary file has to live in the tree.
#include <algorithm>
#include <array>
#include <cstdint>

#include "internal.h"

namespace service::detail {
namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 48;

struct Rgb {
  unsigned char r, g, b;
};

Rgb pixelAt(int x, int y) {
  const Rgb frame{60, 60, 60}, page{240, 240, 240}, bar{255, 255, 255}, text{90, 90, 90},
      mark{255, 220, 40}, markText{200, 30, 30};
  if (x == 0 || y == 0 || x == kWidth - 1 || y == kHeight - 1) return frame;
  bool inBar = y >= 14 && y <= 33 && x >= 8 && x <= kWidth - 9;
  if (!inBar) return page;
  if (y == 14 || y == 33 || x == 8 || x == kWidth - 9) return frame;
  bool textRow = y >= 21 && y <= 26;
  // The identifier at the end of the address, highlighted.
  if (x >= 112 && x <= 146) {
    if (textRow && x >= 116 && x <= 142 && (x - 116) % 7 < 5) return markText;
    return mark;
  }
  if (textRow && x >= 14 && x <= 106 && (x - 14) % 6 < 4) return text;
  return bar;
}

std::uint32_t crc32(const std::string& data, std::size_t from) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xffffffffu;
  for (std::size_t i = from; i < data.size(); ++i)
    c = table[(c ^ static_cast<unsigned char>(data[i])) & 0xff] ^ (c >> 8);
  return c ^ 0xffffffffu;
}

void putBigEndian(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xff);
}

void chunk(std::string& png, const char* type, const std::string& data) {
  putBigEndian(png, static_cast<std::uint32_t>(data.size()));
  std::size_t start = png.size();
  png += type;
  png += data;
  putBigEndian(png, crc32(png, start));
}

// zlib stream of stored (uncompressed) deflate blocks; the picture is small.
std::string zlibStored(const std::string& raw) {
  std::string out("\x78\x01", 2);
  std::size_t pos = 0;
  do {
    std::size_t len = std::min<std::size_t>(raw.size() - pos, 65535);
    bool last = pos + len == raw.size();
    out += static_cast<char>(last ? 1 : 0);
    out += static_cast<char>(len & 0xff);
    out += static_cast<char>(len >> 8);
    out += static_cast<char>(~len & 0xff);
    out += static_cast<char>((~len >> 8) & 0xff);
    out.append(raw, pos, len);
    pos += len;
  } while (pos < raw.size());
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  putBigEndian(out, (b << 16) | a);
  return out;
}

std::string buildPng() {
  std::string raw;
  for (int y = 0; y < kHeight; ++y) {
    raw += '\0';  // filter: none
    for (int x = 0; x < kWidth; ++x) {
      Rgb p = pixelAt(x, y);
      raw += static_cast<char>(p.r);
      raw += static_cast<char>(p.g);
      raw += static_cast<char>(p.b);
    }
  }
  std::string header;
  putBigEndian(header, kWidth);
  putBigEndian(header, kHeight);
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no interlace

  std::string png("\x89PNG\r\n\x1a\n", 8);
  chunk(png, "IHDR", header);
  chunk(png, "IDAT", zlibStored(raw));
  chunk(png, "IEND", "");
  return png;
}

}  // namespace

const std::string& examplePicture() {
  static const std::string png = buildPng();
  return png;
}

}  // namespace service::detail
