#include "download/film_download.h"

#include <QAbstractEventDispatcher>
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "download/film_logic.h"
#include "net/codepage.h"
#include "net/url.h"

namespace download {

namespace {
const QString kRecordPath = QStringLiteral("/z/e/zelvo/basix2.php?a=");
constexpr std::uint32_t kReloadKeepConnection =
    net::INTERNET_FLAG_RELOAD | net::INTERNET_FLAG_KEEP_CONNECTION;

// A response header's value; empty when absent.
QByteArray headerOf(net::HINTERNET request, std::uint32_t level, const char* name = "") {
  char buffer[256] = {};
  std::strncpy(buffer, name, sizeof buffer - 1);
  std::uint32_t length = sizeof buffer;
  std::uint32_t index = 0;
  if (!net::HttpQueryInfoA(request, level, buffer, &length, &index)) return {};
  return QByteArray(buffer, qsizetype(strnlen(buffer, sizeof buffer)));
}

// The status code; 0 when no answer arrived.
int statusOf(net::HINTERNET request) {
  return headerOf(request, net::HTTP_QUERY_STATUS_CODE).toInt();
}

std::optional<std::uint64_t> number(const QByteArray& digits) {
  bool ok = false;
  const qulonglong n = digits.trimmed().toULongLong(&ok);
  return ok ? std::optional<std::uint64_t>(n) : std::nullopt;
}

std::optional<std::uint64_t> contentLength(net::HINTERNET request) {
  return number(headerOf(request, net::HTTP_QUERY_CONTENT_LENGTH));
}

// "Content-Range: bytes FIRST-LAST/TOTAL".
struct ContentRange {
  std::optional<std::uint64_t> first;
  std::optional<std::uint64_t> total;
};
ContentRange contentRange(net::HINTERNET request) {
  const QByteArray range = headerOf(request, net::HTTP_QUERY_CUSTOM, "Content-Range").trimmed();
  ContentRange r;
  if (!range.startsWith("bytes ")) return r;
  r.first = number(range.mid(6, range.indexOf('-') - 6));
  const qsizetype slash = range.indexOf('/');
  if (slash >= 0) r.total = number(range.mid(slash + 1));
  return r;
}

// Seconds from a Retry-After of whole seconds; -1 when absent or a date.
int retryAfterSeconds(net::HINTERNET request) {
  const auto n = number(headerOf(request, net::HTTP_QUERY_CUSTOM, "Retry-After"));
  return n && *n <= 86400 ? int(*n) : -1;
}

// "bytes=FIRST-" (to the end) or "bytes=FIRST-LAST".
QByteArray rangeHeader(std::uint64_t first, std::optional<std::uint64_t> last = std::nullopt) {
  return QByteArray("Range: bytes=") + QByteArray::number(qulonglong(first)) + '-' +
         (last ? QByteArray::number(qulonglong(*last)) : QByteArray()) + "\r\n";
}

// No eye follows more than ~30 changes a second; texts and widgets cost far more than reads.
constexpr std::chrono::milliseconds kShowEvery{33};
// How often the screen catches up with reads that computed figures but did not show them,
// or with reads that stopped between two updates (a stalled slice).
constexpr std::chrono::milliseconds kCatchUpEvery{50};

FilmOutcome failed(const QString& message) { return {FilmResult::Failed, message, {}}; }
const FilmOutcome kStopped{FilmResult::Stopped, {}, {}};

}  // namespace

TextReply fetchReply(net::FetchContext ctx, const QString& mode, const QString& url,
                     const QString& referrer) {
  TextReply reply;
  if (mode == QLatin1String("meret")) {
    reply.text = net::fetchText(ctx, mode, url, referrer);
  } else {
    // Of a reply over its bound only the beginning is ever shown: decoding all of it
    // would double the memory and hold up the window for nothing.
    const QByteArray body = net::fetchBytes(ctx, url, referrer);
    reply.text = net::fromCp1250(ctx.overLimit ? body.left(kOverLimitKept) : body);
  }
  reply.complete = ctx.complete;
  reply.overLimit = ctx.overLimit;
  return reply;
}

FilmDownload::FilmDownload(FilmState& state, FilmView& view) : v_(state), view_(view) {
  catchUp_.setInterval(kCatchUpEvery);
  QObject::connect(&catchUp_, &QTimer::timeout, [this] {
    if (view_.ending()) return catchUp_.stop();
    if (v_.receivedBytes != shownBytes_ &&
        std::chrono::steady_clock::now() - lastShown_ >= kShowEvery)
      showProgress();
  });
}

bool FilmDownload::yield() {
  view_.yieldToWindow();
  return !view_.ending();
}

FilmOutcome FilmDownload::run(const QString& identifier, RunFiles* files) {
  const FilmOutcome outcome = runSteps(identifier, files);
  catchUp_.stop();  // never touches the window once the film has ended
  output_.close();  // a stopped film keeps what it received
  return outcome;
}

FilmOutcome FilmDownload::runSteps(const QString& identifier, RunFiles* files) {
  const QString id = identifier;
  if (!yield()) return kStopped;

  // Encoded so that blanks, '&', '#' or line breaks cannot break the request, and so
  // that letters Windows-1250 lacks still reach the service as typed.
  const QString recordUrl = view_.serviceHost() + kRecordPath + net::percentEncodeAsTyped(id);
  const TextReply reply =
      view_.fetchText(QStringLiteral("var"), recordUrl, QString(), kRecordLimit);
  if (view_.ending()) return kStopped;

  // A record cut short may still look well formed, with slices missing: never use one.
  // One over its bound is no record at all.
  FilmRecord record;
  RecordStatus status = RecordStatus::Malformed;
  if (!reply.overLimit) status = parseRecord(reply.complete ? reply.text : QString(), record);
  v_.recordParts = record.recordParts;
  v_.filmFields = record.filmFields;
  v_.sliceUrls = record.sliceUrls;
  v_.referrerUrl = record.referrerUrl;
  v_.sliceCount = record.sliceCount;
  if (status == RecordStatus::Empty) return failed(QStringLiteral("A szerver nem válaszolt."));
  if (status == RecordStatus::Malformed) return failed(QStringLiteral("A szerver válasza hibás."));

  if (v_.sliceCount == 0) return {FilmResult::Refused, v_.filmFields.at(2), {}};

  const TextReply sizeText =
      view_.fetchText(QStringLiteral("meret"), v_.sliceUrls.at(0), v_.referrerUrl, 0);
  if (view_.ending()) return kStopped;
  view_.sizeLabel().setCaption(sizeText.text);
  const auto size = parseByteCount(view_.sizeLabel().caption());
  v_.sliceSize = size.value_or(0);
  v_.totalKb = expectedKb(v_.sliceSize, v_.sliceCount);

  if (size && v_.sliceSize >= 10000) {
    view_.setInfo(summaryText(v_.filmFields.at(1), v_.totalKb, userDecimalSeparator()));
    return downloadSlices(id, files);
  }

  // Too small (or no usable size): a broken film, reported back to the service.
  const TextReply answer = view_.fetchText(
      QStringLiteral("var"), recordUrl + QStringLiteral("&action=error"), QString(), kReportLimit);
  if (view_.ending()) return kStopped;
  view_.sizeLabel().setCaption(answer.text);  // over its bound: only its beginning
  return {FilmResult::Reported, view_.sizeLabel().caption(), {}};
}

void FilmDownload::closeSliceHandles() {
  // Zeroed once closed, so a later close can never hit a handle handed out again.
  net::InternetCloseHandle(v_.hRequest);
  v_.hRequest = 0;
  net::InternetCloseHandle(v_.hConnect);
  v_.hConnect = 0;
  net::InternetCloseHandle(v_.hSession);
  v_.hSession = 0;
}

void FilmDownload::updateProgress() {
  v_.readsSinceUpdate = 0;
  // Skipped texts are left to the catch-up timer.
  if (std::chrono::steady_clock::now() - lastShown_ < kShowEvery) return computeFigures();
  showProgress();
}

void FilmDownload::computeFigures() {
  const Progress p = progressNumbers(v_.receivedBytes, v_.totalKb, v_.barFullWidth);
  v_.barWidth = p.barWidth;
  v_.percentDone = p.percentDone;
}

void FilmDownload::showProgress() {
  computeFigures();
  lastShown_ = std::chrono::steady_clock::now();
  shownBytes_ = v_.receivedBytes;
  const Progress t =
      progressTexts(v_.receivedBytes, v_.totalKb, v_.percentDone, userDecimalSeparator());
  view_.setInfo(t.infoText);
  view_.setWindowCaption(t.caption);
  view_.setBarWidth(static_cast<float>(v_.barWidth));
}

void FilmDownload::openSliceRequest(const QString& url, const QByteArray& extraHeaders) {
  const QByteArray agent = net::toCp1250(v_.agentName);
  const QByteArray referrer = net::toCp1250(v_.referrerUrl);
  const QByteArray host = net::toCp1250(net::urlHost(url));
  const QByteArray objectPath = net::toCp1250(net::urlPath(url));
  // A fresh session, connection and request for every request of a slice; a stop given
  // before any of these steps ends the program before it.
  if (!view_.yieldBeforeStep()) return;
  v_.hSession =
      net::InternetOpenA(agent.constData(), net::INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!view_.yieldBeforeStep()) return;
  v_.hConnect =
      net::InternetConnectA(v_.hSession, host.constData(), net::INTERNET_DEFAULT_HTTP_PORT, nullptr,
                            nullptr, net::INTERNET_SERVICE_HTTP, 0, 0);
  if (!view_.yieldBeforeStep()) return;
  v_.hRequest = net::HttpOpenRequestA(v_.hConnect, "GET", objectPath.constData(), "HTTP/1.0",
                                      referrer.constData(), nullptr, kReloadKeepConnection, 0);
  if (!view_.yieldBeforeStep()) return;
  net::HttpSendRequestA(v_.hRequest, extraHeaders.isEmpty() ? nullptr : extraHeaders.constData(),
                        std::uint32_t(extraHeaders.size()), nullptr, 0);
}

FilmDownload::Attempt FilmDownload::fetchSlice(const QString& url, std::uint64_t sliceStart) {
  const std::uint64_t have = output_.size() - sliceStart;
  // Only what is still missing of the slice.
  openSliceRequest(url, have > 0 ? rangeHeader(have) : QByteArray());
  if (view_.ending()) return {Attempt::Stopped};

  const int status = statusOf(v_.hRequest);
  if (status == 0) return {net::failureMayPass(v_.hRequest) ? Attempt::MayPass : Attempt::Final};
  if (status == 408 || status == 429 || (status >= 500 && status < 600))
    return {Attempt::MayPass, retryAfterSeconds(v_.hRequest)};
  if (status < 200 || status >= 300) return {Attempt::Final};
  std::uint64_t skip = 0;  // bytes of the answer the file already has
  if (have > 0) {
    if (status == 200)
      skip = have;
    else if (status != 206 || contentRange(v_.hRequest).first != std::optional<std::uint64_t>(have))
      return {Attempt::MayPass};
  }

  std::uint64_t bodyBytes = 0;
  v_.readMore = true;
  while (v_.readMore) {
    ++v_.readsSinceUpdate;
    std::memset(v_.readBuffer, ' ', sizeof v_.readBuffer);
    std::uint32_t count = 0;
    v_.readMore = net::InternetReadFile(v_.hRequest, v_.readBuffer, sizeof v_.readBuffer, &count);
    v_.bytesRead = static_cast<std::int32_t>(count);
    if (!yield()) return {Attempt::Stopped};
    if (!v_.readMore) return {net::failureMayPass(v_.hRequest) ? Attempt::MayPass : Attempt::Final};
    bodyBytes += count;
    // Bytes an answer that ignored the range sends again are dropped.
    std::uint32_t from = 0;
    if (skip > 0) {
      from = std::uint32_t(std::min<std::uint64_t>(skip, count));
      skip -= from;
    }
    if (count > from && !output_.write(v_.readBuffer + from, count - from))
      return {Attempt::WriteFailed};
    if (!yield()) return {Attempt::Stopped};
    if (v_.bytesRead == 0) v_.readMore = false;
    v_.receivedBytes += count - from;
    if (v_.readsSinceUpdate == 100) updateProgress();
  }
  // A film is never stored in empty slices: no bytes at all is a broken slice, as is an
  // answer that ignored the range and ended before it.
  if (bodyBytes == 0 || skip > 0) return {Attempt::MayPass};
  return {Attempt::Complete};
}

bool FilmDownload::findResumePoint(std::uint64_t length, ResumePoint& point) {
  // The sizes of the slices, in order, until they pass the work file's end.
  std::uint64_t start = 0;
  point.sliceEnds.clear();
  int slice = 0;
  for (; slice < v_.sliceUrls.size(); ++slice) {
    const RangeAnswer a = askRange(v_.sliceUrls.at(slice), 0, 0, false);
    if (view_.ending() || !a.total) return false;
    if (start + *a.total > length) break;
    start += *a.total;
    point.sliceEnds.push_back(start);
    if (start == length) {
      ++slice;
      break;
    }
  }
  if (slice == v_.sliceUrls.size() && start != length)
    return false;  // longer than the whole film: not this film
  point.slice = slice;
  point.sliceStart = start;

  // The last bytes before its end must be this film's, byte for byte.
  const std::uint64_t checked = std::min<std::uint64_t>(kResumeCheckBytes, length);
  std::uint64_t from = length - checked;
  std::uint64_t sliceBegin = 0;
  for (int i = 0; i <= slice && from < length; ++i) {
    const std::uint64_t sliceEnd =
        i < int(point.sliceEnds.size()) ? point.sliceEnds[std::size_t(i)] : length;
    if (from < sliceEnd) {
      const std::uint64_t to = std::min(sliceEnd, length);
      const RangeAnswer a =
          askRange(v_.sliceUrls.at(i), from - sliceBegin, to - sliceBegin - 1, true);
      if (view_.ending() || !a.partial || a.body != output_.readAt(from, std::size_t(to - from)))
        return false;
      from = to;
    }
    sliceBegin = sliceEnd;
  }
  return from == length;
}

FilmDownload::RangeAnswer FilmDownload::askRange(const QString& url, std::uint64_t first,
                                                 std::uint64_t last, bool readBody) {
  RangeAnswer answer;
  openSliceRequest(url, rangeHeader(first, last));
  if (view_.ending() || !yield()) return answer;
  const int status = statusOf(v_.hRequest);
  const ContentRange range = contentRange(v_.hRequest);
  if (status == 206 && range.first == std::optional<std::uint64_t>(first)) {
    answer.partial = true;
    answer.total = range.total;
  } else if (status == 200) {
    answer.total = contentLength(v_.hRequest);  // the server ignores ranges
  }
  const std::uint64_t wanted = last - first + 1;
  while (readBody && answer.partial && std::uint64_t(answer.body.size()) <= wanted) {
    std::uint32_t count = 0;
    if (!net::InternetReadFile(v_.hRequest, v_.readBuffer, sizeof v_.readBuffer, &count)) {
      answer.partial = false;
      break;
    }
    if (count == 0) break;
    answer.body.append(v_.readBuffer, count);
    if (!yield()) break;
  }
  if (readBody && std::uint64_t(answer.body.size()) != wanted) answer.partial = false;
  closeSliceHandles();
  return answer;
}

FilmOutcome FilmDownload::downloadSlices(const QString& identifier, RunFiles* files) {
  view_.setBarWidth(0);
  const QString folder = view_.targetFolder();
  const QString filmName = v_.filmFields.at(2);
  // Another film finished in this run under the same name keeps its file.
  int copy = 1;
  if (files) {
    for (;; ++copy) {
      const auto taken = files->find(outputFileName(filmName, copy));
      if (taken == files->end() || taken->second == identifier) break;
    }
  }
  const QString path = outputPath(folder, filmName, copy);
  if (!output_.create(folder, outputFileName(filmName, copy), true))
    return failed(QStringLiteral("Nem sikerült létrehozni a fájlt: ") + path);
  v_.receivedBytes = 0;
  v_.readsSinceUpdate = 0;
  lastShown_ = {};
  shownBytes_ = 0;
  // Without an event loop (no application) nothing would ever run it.
  if (QAbstractEventDispatcher::instance()) catchUp_.start();

  // A work file left by an earlier run goes on where it ends, if it really is this film.
  ResumePoint resume;
  if (output_.size() > 0) {
    const std::uint64_t length = output_.size();
    if (findResumePoint(length, resume)) {
      v_.receivedBytes = std::int64_t(length);
      view_.setInfo(
          QStringLiteral("Folytatom: %1 Kb megvan")
              .arg(formatNumber(roundHalfEven(double(length) / 1024.0), userDecimalSeparator())));
    } else {
      if (view_.ending()) return kStopped;
      resume = {};
      if (!output_.truncate(0)) return failed(QStringLiteral("Nem sikerült írni a fájlt: ") + path);
    }
  }

  // Where each complete slice ends: a write that fails (disk full) leaves on the disk
  // only the complete slices that reached it, like a slice that fails.
  std::vector<std::uint64_t> sliceEnds = resume.sliceEnds;
  const auto writeFailed = [&] {
    std::uint64_t keep = 0;
    for (const std::uint64_t end : sliceEnds)
      if (end <= output_.onDisk()) keep = end;
    output_.truncate(keep);
    output_.close();
    return failed(QStringLiteral("Nem sikerült írni a fájlt: ") + path);
  };

  const QStringList urls = v_.sliceUrls;
  for (int slice = resume.slice; slice < urls.size(); ++slice) {
    v_.loopItem = urls.at(slice);
    const std::uint64_t sliceStart = slice == resume.slice ? resume.sliceStart : output_.size();
    for (int failures = 0;; ++failures) {
      const Attempt a = fetchSlice(urls.at(slice), sliceStart);
      closeSliceHandles();
      showProgress();
      if (a.kind == Attempt::Stopped || view_.ending()) return kStopped;
      if (a.kind == Attempt::WriteFailed) return writeFailed();
      if (a.kind == Attempt::Complete) break;
      if (a.kind == Attempt::Final || failures == kRetries) {
        output_.truncate(sliceStart);  // keep only complete slices
        if (!output_.flush() || !output_.close()) return writeFailed();
        return failed(QStringLiteral("Nem sikerült letölteni a(z) %1. szeletet.").arg(slice + 1));
      }
      // The bytes that did arrive stay: the next try asks only for the rest.
      view_.setInfo(QStringLiteral("Újrapróbálom: %1. szelet (%2/%3)")
                        .arg(slice + 1)
                        .arg(failures + 1)
                        .arg(kRetries));
      const bool serverSaid = a.retryAfterS >= 0 && a.retryAfterS <= kMaxRetryAfterS;
      view_.waitBeforeRetry(serverSaid ? std::chrono::seconds(a.retryAfterS)
                                       : std::chrono::seconds(1 << failures));
      if (view_.ending()) return kStopped;
    }
    sliceEnds.push_back(output_.size());
  }
  // Only a complete film takes the final name (an earlier copy is replaced only now).
  if (!output_.commit()) {
    output_.close();
    return failed(QStringLiteral("Nem sikerült írni a fájlt: ") + path);
  }
  if (files) (*files)[outputFileName(filmName, copy)] = identifier;
  return {FilmResult::Finished, {}, savedFilmName(filmName, copy)};
}

}  // namespace download
