#include "download/film_download.h"

#include <QAbstractEventDispatcher>
#include <cstring>
#include <vector>

#include "download/film_logic.h"
#include "net/codepage.h"
#include "net/url.h"

namespace download {

namespace {
const QString kRecordPath = QStringLiteral("/z/e/zelvo/basix2.php?a=");
constexpr std::uint32_t kReloadKeepConnection =
    net::INTERNET_FLAG_RELOAD | net::INTERNET_FLAG_KEEP_CONNECTION;

bool isSuccessStatus(net::HINTERNET request) {
  char buffer[32] = {};
  std::uint32_t length = sizeof buffer;
  std::uint32_t index = 0;
  if (!net::HttpQueryInfoA(request, net::HTTP_QUERY_STATUS_CODE, buffer, &length, &index))
    return false;
  const int status = std::atoi(buffer);
  return status >= 200 && status < 300;
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
  reply.text = net::fetchText(ctx, mode, url, referrer);
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
  view_.sizeLabel().setCaption(answer.overLimit ? answer.text.left(kReportShownChars)
                                                : answer.text);
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
  if (!output_.create(folder, outputFileName(filmName, copy)))
    return failed(QStringLiteral("Nem sikerült létrehozni a fájlt: ") + path);
  v_.receivedBytes = 0;
  v_.readsSinceUpdate = 0;
  lastShown_ = {};
  shownBytes_ = 0;
  // Without an event loop (no application) nothing would ever run it.
  if (QAbstractEventDispatcher::instance()) catchUp_.start();

  // Where each complete slice ends: a write that fails (disk full) leaves on the disk
  // only the complete slices that reached it, like a slice that fails.
  std::vector<std::uint64_t> sliceEnds;
  const auto writeFailed = [&] {
    std::uint64_t keep = 0;
    for (const std::uint64_t end : sliceEnds)
      if (end <= output_.onDisk()) keep = end;
    output_.truncate(keep);
    output_.close();
    return failed(QStringLiteral("Nem sikerült írni a fájlt: ") + path);
  };

  const QByteArray agent = net::toCp1250(v_.agentName);
  const QByteArray referrer = net::toCp1250(v_.referrerUrl);
  const QStringList urls = v_.sliceUrls;
  for (int slice = 0; slice < urls.size(); ++slice) {
    v_.loopItem = urls.at(slice);
    const std::uint64_t sliceStart = output_.size();
    const QByteArray host = net::toCp1250(net::urlHost(urls.at(slice)));
    const QByteArray objectPath = net::toCp1250(net::urlPath(urls.at(slice)));
    v_.hSession = net::InternetOpenA(agent.constData(), net::INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                     nullptr, 0);
    v_.hConnect =
        net::InternetConnectA(v_.hSession, host.constData(), net::INTERNET_DEFAULT_HTTP_PORT,
                              nullptr, nullptr, net::INTERNET_SERVICE_HTTP, 0, 0);
    v_.hRequest = net::HttpOpenRequestA(v_.hConnect, "GET", objectPath.constData(), "HTTP/1.0",
                                        referrer.constData(), nullptr, kReloadKeepConnection, 0);
    net::HttpSendRequestA(v_.hRequest, nullptr, 0, nullptr, 0);
    if (view_.ending()) return kStopped;

    // An error page or a broken transfer must never pass for film.
    bool sliceOk = isSuccessStatus(v_.hRequest);
    v_.readMore = sliceOk;
    while (v_.readMore) {
      ++v_.readsSinceUpdate;
      std::memset(v_.readBuffer, ' ', sizeof v_.readBuffer);
      std::uint32_t count = 0;
      v_.readMore = net::InternetReadFile(v_.hRequest, v_.readBuffer, sizeof v_.readBuffer, &count);
      v_.bytesRead = static_cast<std::int32_t>(count);
      if (!yield()) return kStopped;
      if (!v_.readMore) {
        sliceOk = false;
        break;
      }
      if (count > 0 && !output_.write(v_.readBuffer, count)) {
        closeSliceHandles();
        return writeFailed();
      }
      if (!yield()) return kStopped;
      if (v_.bytesRead == 0) v_.readMore = false;
      v_.receivedBytes += v_.bytesRead;
      if (v_.readsSinceUpdate == 100) updateProgress();
    }
    closeSliceHandles();
    showProgress();
    if (!sliceOk) {
      output_.truncate(sliceStart);  // keep only complete slices
      if (!output_.flush() || !output_.close()) return writeFailed();
      return failed(QStringLiteral("Nem sikerült letölteni a(z) %1. szeletet.").arg(slice + 1));
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
