// The example picture: a sketch of an address bar with the film identifier marked,
// drawn here and packed as a PNG so no binary file has to live in the tree.
#include <zlib.h>

#include <cstdint>

#include "service/internal.h"

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

void putBigEndian(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xff);
}

const Bytef* bytes(const std::string& s) { return reinterpret_cast<const Bytef*>(s.data()); }

void chunk(std::string& png, const char* type, const std::string& data) {
  putBigEndian(png, static_cast<std::uint32_t>(data.size()));
  std::size_t start = png.size();
  png += type;
  png += data;
  // The CRC covers the type and the data.
  putBigEndian(png, static_cast<std::uint32_t>(
                        crc32(0, bytes(png) + start, static_cast<uInt>(png.size() - start))));
}

std::string deflated(const std::string& raw) {
  uLongf size = compressBound(raw.size());
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, bytes(raw), raw.size(),
                Z_BEST_COMPRESSION) != Z_OK)
    return {};
  out.resize(size);
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
  chunk(png, "IDAT", deflated(raw));
  chunk(png, "IEND", "");
  return png;
}

}  // namespace

const std::string& examplePicture() {
  static const std::string png = buildPng();
  return png;
}

}  // namespace service::detail
