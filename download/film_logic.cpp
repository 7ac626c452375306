#include "download/film_logic.h"

#include <QLocale>
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <limits>

namespace download {

double roundHalfEven(double x) {
  // nearbyint follows the current rounding mode; make sure it is to-nearest-even.
  const int saved = std::fegetround();
  if (saved != FE_TONEAREST) std::fesetround(FE_TONEAREST);
  const double r = std::nearbyint(x);
  if (saved != FE_TONEAREST) std::fesetround(saved);
  return r;
}

QString formatNumber(double x, QChar decimalSeparator) {
  if (std::isnan(x)) return QStringLiteral("NaN");
  if (x == 0) return QStringLiteral("0");  // also turns -0 into 0
  // 15 significant digits, as the double's reliable precision; 'g' drops trailing zeros.
  QString s = QString::number(x, 'g', 15);
  if (s.contains(QLatin1Char('e'))) {
    // Keep plain digits for large whole numbers of the download range.
    if (std::fabs(x) < 1e18 && x == std::trunc(x)) s = QString::number(static_cast<qint64>(x));
  }
  s.replace(QLatin1Char('.'), decimalSeparator);
  return s;
}

QChar userDecimalSeparator() {
  const QString point = QLocale::system().decimalPoint();
  return point.isEmpty() ? QLatin1Char('.') : point.at(0);
}

std::optional<std::int64_t> parseByteCount(const QString& text) {
  const QString t = text.trimmed();
  if (t.isEmpty()) return std::nullopt;
  for (QChar c : t)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
  bool ok = false;
  const qlonglong v = t.toLongLong(&ok);
  if (!ok) return std::nullopt;
  return v;
}

RecordStatus parseRecord(const QString& reply, FilmRecord& record) {
  record = FilmRecord{};
  if (reply.isEmpty()) return RecordStatus::Empty;
  record.recordParts = reply.split(QLatin1Char('*'));
  if (record.recordParts.size() < 2) return RecordStatus::Malformed;
  record.filmFields = record.recordParts.at(0).split(QLatin1Char('|'));
  record.sliceUrls = record.recordParts.at(1).split(QLatin1Char('|'));
  record.referrerUrl = record.filmFields.at(0);
  if (record.filmFields.size() < 3) return RecordStatus::Malformed;
  const auto count = parseByteCount(record.filmFields.at(1));
  if (!count || *count > std::numeric_limits<std::int32_t>::max()) return RecordStatus::Malformed;
  record.sliceCount = static_cast<std::int32_t>(*count);
  return RecordStatus::Ok;
}

double expectedKb(std::int64_t sliceSize, std::int64_t sliceCount) {
  // Product in double: exact far beyond any real film, and never overflows.
  return roundHalfEven(static_cast<double>(sliceSize) * static_cast<double>(sliceCount) / 1024.0);
}

QString summaryText(const QString& countField, double totalKb, QChar sep) {
  return shownText(countField) + QStringLiteral(" szeletből áll és ") + formatNumber(totalKb, sep) +
         QStringLiteral("Kb összesen");
}

std::uint32_t readSizeFor(std::int32_t readsSinceUpdate) {
  const std::int32_t counted = std::clamp(readsSinceUpdate, 0, kReadsPerUpdate - 1);
  return std::uint32_t(kReadsPerUpdate - counted) * kReadUnit;
}

std::int32_t readUnits(std::uint32_t count) {
  return count == 0 ? 1 : std::int32_t(count / kReadUnit + (count % kReadUnit != 0));
}

Progress progressNumbers(std::int64_t receivedBytes, double totalKb, double barFullWidth) {
  Progress p;
  const double received = static_cast<double>(receivedBytes);
  p.barWidth = roundHalfEven(received * barFullWidth / totalKb / 1024.0);
  p.percentDone = roundHalfEven(received / totalKb * 10000.0 / 1024.0) / 100.0;
  return p;
}

Progress progressTexts(std::int64_t receivedBytes, double totalKb, double percentDone, QChar sep) {
  Progress p;
  p.percentDone = percentDone;
  const QString percent = formatNumber(percentDone, sep);
  p.infoText = formatNumber(roundHalfEven(static_cast<double>(receivedBytes) / 1024.0), sep) +
               QStringLiteral("Kb/") + formatNumber(totalKb, sep) + QStringLiteral("Kb ") +
               percent + QStringLiteral("%");
  p.caption = QStringLiteral("Zelvo ") + percent + QStringLiteral("%");
  return p;
}

namespace {

const QString kSuffix = QStringLiteral("_Zelvoweb.mpg");

bool isDeviceName(const QString& name) {
  // Windows refuses these as a base name, whatever follows the first dot.
  const QString base = name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
  static const QStringList fixed = {"CON", "PRN", "AUX", "NUL"};
  if (fixed.contains(base)) return true;
  if (base.size() == 4 && (base.startsWith("COM") || base.startsWith("LPT")))
    return base.at(3) >= QLatin1Char('1') && base.at(3) <= QLatin1Char('9');
  return false;
}

}  // namespace

QString shownText(QStringView text, int maxChars) {
  const bool cut = text.size() > maxChars;
  QStringView kept = cut ? text.left(maxChars - 1) : text;
  if (cut && !kept.isEmpty() && kept.back().isHighSurrogate()) kept.chop(1);  // a pair stays whole
  QString out;
  out.reserve(kept.size() + 1);
  for (qsizetype i = 0; i < kept.size(); ++i) {
    const QChar c = kept.at(i);
    // A CR before a LF (looked for past the cut too) ends the line with it.
    if (c == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
      continue;
    const bool shown =
        c.category() != QChar::Other_Control || c == QLatin1Char('\n') || c == QLatin1Char('\t');
    out += shown ? c : QChar(QChar::ReplacementCharacter);
  }
  if (cut) out += QChar(0x2026);
  return out;
}

QString savedFilmName(const QString& filmName, int copy) {
  return copy > 1 ? filmName + QStringLiteral(" (%1)").arg(copy) : filmName;
}

namespace {

// Bytes of the character at i in UTF-8 (a lone surrogate never reaches a name).
int utf8Bytes(const QString& s, qsizetype i) {
  const char16_t c = s.at(i).unicode();
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (QChar::isHighSurrogate(c) && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) return 4;
  return 3;
}

// How many characters of s, whole, fit in the given UTF-8 bytes: one pass.
qsizetype fittingChars(const QString& s, int budget) {
  qsizetype kept = 0;
  for (int bytes = 0; kept < s.size();) {
    const int n = utf8Bytes(s, kept);
    if (bytes + n > budget) break;
    bytes += n;
    kept += n == 4 ? 2 : 1;
  }
  return kept;
}

bool refusedInName(QChar c) {
  // Other_Control: C0, DEL and the C1 range U+0080..U+009F.
  return c.category() == QChar::Other_Control || c.isSurrogate() ||
         QStringLiteral("/\\:*?\"<>|").contains(c);
}

}  // namespace

QString outputFileName(const QString& filmName, int copy) {
  const QString copyText = copy > 1 ? QStringLiteral(" (%1)").arg(copy) : QString();
  const int budget = kNameBytes - int(kSuffix.size()) - int(copyText.size());
  // Every character takes at least one byte, so no more than the budget (and a device
  // name's prefix) can ever be kept: the rest of a name of any length is never looked at.
  QString name = filmName.left(budget + 1);
  if (name.size() > 1 && name.back().isHighSurrogate() && filmName.size() > name.size())
    name.append(filmName.at(name.size()));  // keep a pair whole
  for (qsizetype i = 0; i < name.size(); ++i) {
    const bool pair =
        i + 1 < name.size() && name.at(i).isHighSurrogate() && name.at(i + 1).isLowSurrogate();
    if (pair)
      ++i;
    else if (refusedInName(name.at(i)))
      name[i] = QLatin1Char('_');
  }
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
    name = QStringLiteral("film");
  if (isDeviceName(name)) name.prepend(QLatin1Char('_'));
  name.truncate(fittingChars(name, budget));
  if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
    name[name.size() - 1] = QLatin1Char('_');
  return name + copyText + kSuffix;
}

QString workFileName(const QString& fileName) {
  const int budget = kNameBytes - int(kWorkSuffix.size());
  return fileName.left(fittingChars(fileName, budget)) + kWorkSuffix;
}

QString outputPath(const QString& folder, const QString& filmName, int copy) {
  QString dir = folder;
  if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
  return dir + outputFileName(filmName, copy);
}

}  // namespace download
