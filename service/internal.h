// Helpers shared by the service's own files (and its tests); not part of the client's view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/service.h"

namespace service::detail {

// UTF-8 to Windows-1250; characters the code page lacks become '?'.
std::string toCp1250(const std::string& utf8);
// Windows-1250 to UTF-8; the five unassigned bytes become U+FFFD.
std::string fromCp1250(const std::string& bytes);
bool isValidUtf8(const std::string& bytes);

// Percent-encodes the Windows-1250 bytes of a UTF-8 text (its UTF-8 bytes when the code
// page lacks one of its characters); letters, digits and "-._~" stay, as the client
// encodes identifiers.
std::string percentEncode(const std::string& utf8);
// Decodes %XX; '+' and malformed escapes stay as they are.
std::string percentDecode(const std::string& text);

// The identifiers decoded bytes from the wire may stand for, in the order to try: read as
// Windows-1250 first, then as UTF-8 (a raw identifier typed into a browser).
std::vector<std::string> wireIdReadings(const std::string& decodedBytes);
// The table film an identifier from the wire names; null when unknown.
const FilmSpec* findFilmByWireId(const std::string& decodedBytes);
// The identifier as readable UTF-8, for messages about unknown films.
std::string wireIdText(const std::string& decodedBytes);

// Slice bytes are a pure function of (film id, slice, offset), so any range can be
// produced on demand without keeping tens of MiB around.
std::uint64_t sliceSeed(const FilmSpec& film, std::size_t slice, bool changed = false);
// The validator header line (CRLF included) of a slice's answers; empty for none.
std::string validatorHeader(const FilmSpec& film, std::size_t slice, bool changed);
void fillSliceBytes(std::uint64_t seed, std::uint64_t offset, char* out, std::size_t n);

// Film record reply in Windows-1250 for the given host.
std::string recordReply(const std::string& host, const FilmSpec& film);
std::string refusalReply(const std::string& host, const std::string& idText);

// A small PNG served as the example picture.
const std::string& examplePicture();

}  // namespace service::detail
