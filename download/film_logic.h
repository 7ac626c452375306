// Pure figures and texts of a film download: no widgets, no network.
#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace download {

// Nearest whole number, a half going to the even neighbour (2.5 -> 2, 3.5 -> 4).
double roundHalfEven(double x);

// Shortest decimal form: no point for whole numbers, no trailing zeros.
QString formatNumber(double x, QChar decimalSeparator);
// The user's decimal separator, from the system locale.
QChar userDecimalSeparator();

// The film record reply split into its parts and fields.
struct FilmRecord {
  QStringList recordParts;  // reply split on '*'
  QStringList filmFields;   // part 0 split on '|'
  QStringList sliceUrls;    // part 1 split on '|'
  QString referrerUrl;      // field 0
  std::int32_t sliceCount = 0;
};

enum class RecordStatus { Ok, Empty, Malformed };
// Malformed: no '*', fewer than three fields in part 0, or a count that is not a
// non-negative whole number in the 32-bit range.
RecordStatus parseRecord(const QString& reply, FilmRecord& record);

// A whole, non-negative byte count as the server wrote it; nullopt otherwise.
std::optional<std::int64_t> parseByteCount(const QString& text);

// Expected size of the film in kilobytes, rounded half to even (64-bit product).
double expectedKb(std::int64_t sliceSize, std::int64_t sliceCount);
// "3 szeletből áll és 2930Kb összesen"; the count field is shown as received, within the
// bound of shownText.
QString summaryText(const QString& countField, double totalKb, QChar sep);

struct Progress {
  double barWidth = 0;
  double percentDone = 0;
  QString infoText;  // "625Kb/2930Kb 21.33%"
  QString caption;   // "Zelvo 21.33%"
};
// The slice loop counts its reads in 64-byte units and updates the figures on every
// 100th, but asks for many units at once: never past the next 100th, so every update
// falls on the same byte count as reading 64 bytes at a time would give.
constexpr std::uint32_t kReadUnit = 64;
constexpr std::int32_t kReadsPerUpdate = 100;
// What the next read asks for, readsSinceUpdate units after the last update.
std::uint32_t readSizeFor(std::int32_t readsSinceUpdate);
// The 64-byte reads that a read of count bytes stands for: an empty (or failed) one is one.
std::int32_t readUnits(std::uint32_t count);

// The figures of a progress update, then the texts for a given percentDone.
Progress progressNumbers(std::int64_t receivedBytes, double totalKb, double barFullWidth);
Progress progressTexts(std::int64_t receivedBytes, double totalKb, double percentDone, QChar sep);

// Server text as a box, a label or a list entry may show it: at most maxChars characters,
// ending in "…" when cut, a CR before a LF dropped (the LF ends the line), other control
// characters but line feed and tab as U+FFFD.
// What is written to disk or sent to the server is never cut.
constexpr int kShownChars = 4000;
QString shownText(QStringView text, int maxChars = kShownChars);

// The longest file name the file system takes, in bytes of UTF-8.
constexpr int kNameBytes = 255;

// The work file beside the output file, written until the film is complete.
const QString kWorkSuffix = QStringLiteral(".part");
// The work file's name: the output file's name with kWorkSuffix, the name cut at a
// character where both would not fit (the work file's mark tells such films apart).
QString workFileName(const QString& fileName);

// The output file's name for a film: the name made safe, " (copy)" from the second copy
// on, then "_Zelvoweb.mpg", in at most kNameBytes bytes.
QString outputFileName(const QString& filmName, int copy = 1);
// The folder, "/", and the file name; the file always lies inside the folder.
QString outputPath(const QString& folder, const QString& filmName, int copy = 1);
// The film's name as saved: with " (copy)" from the second copy on.
QString savedFilmName(const QString& filmName, int copy);

}  // namespace download
