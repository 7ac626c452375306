// download::parseRecord on any reply the service could send (decoded as Windows-1250,
// as the client does).
#include <cstddef>
#include <cstdint>

#include "download/film_logic.h"
#include "net/codepage.h"
#include "tests/fuzz/fuzz_check.h"

using download::FilmRecord;
using download::RecordStatus;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString reply = net::fromCp1250(reinterpret_cast<const char*>(data), int(size));
  FilmRecord rec;
  const RecordStatus status = download::parseRecord(reply, rec);

  FUZZ_CHECK((status == RecordStatus::Empty) == reply.isEmpty());
  if (status != RecordStatus::Ok) return 0;

  FUZZ_CHECK(rec.filmFields.size() >= 3);
  FUZZ_CHECK(rec.sliceCount >= 0);
  FUZZ_CHECK(rec.recordParts.size() >= 2);
  // Splitting loses nothing: the parts put back together are the reply.
  FUZZ_CHECK_TEXT(rec.recordParts.join(QLatin1Char('*')) == reply, reply);
  FUZZ_CHECK_TEXT(rec.filmFields.join(QLatin1Char('|')) == rec.recordParts.at(0), reply);
  FUZZ_CHECK_TEXT(rec.sliceUrls.join(QLatin1Char('|')) == rec.recordParts.at(1), reply);
  FUZZ_CHECK(rec.referrerUrl == rec.filmFields.at(0));
  // The count is the number the server wrote in field 1.
  FUZZ_CHECK_TEXT(rec.filmFields.at(1).trimmed().toLongLong() == rec.sliceCount, reply);
  return 0;
}
