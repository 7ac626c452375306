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

// "Content-Range: bytes FIRST-LAST/TOTAL" or "bytes */TOTAL".
struct ContentRange {
  std::optional<std::uint64_t> first;
  std::optional<std::uint64_t> total;
};
ContentRange contentRange(const net::Request& r) {
  const QByteArray range = r.header("Content-Range").trimmed();
  ContentRange c;
  if (!range.startsWith("bytes ")) return c;
  const qsizetype slash = range.indexOf('/');
  const qsizetype dash = range.indexOf('-');
  if (dash > 6 && (slash < 0 || dash < slash)) c.first = net::decimal(range.mid(6, dash - 6));
  if (slash >= 0) c.total = net::decimal(range.mid(slash + 1));
  return c;
}

// "bytes=FIRST-" (to the end) or "bytes=FIRST-LAST".
QByteArray rangeHeader(std::uint64_t first, std::optional<std::uint64_t> last = std::nullopt) {
  return QByteArray("Range: bytes=") + QByteArray::number(qulonglong(first)) + '-' +
         (last ? QByteArray::number(qulonglong(*last)) : QByteArray()) + "\r\n";
}

// A validator fit to be sent back in a header line.
QByteArray validatorOf(const net::Request& r) {
  QByteArray v = r.header("ETag").trimmed();
  if (v.isEmpty()) v = r.header("Last-Modified").trimmed();
  if (v.size() > 512 || v.contains('\r') || v.contains('\n')) return {};
  return v;
}

std::int64_t secondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

QString sliceFailure(int slice) {
  return QStringLiteral("Nem sikerült letölteni a(z) %1. szeletet.").arg(slice + 1);
}

// No eye follows more than ~30 changes a second; texts and widgets cost far more than reads.
constexpr std::chrono::milliseconds kShowEvery{33};
// How often the screen catches up with reads that computed figures but did not show them,
// or with reads that stopped between two updates (a stalled slice).
constexpr std::chrono::milliseconds kCatchUpEvery{50};

FilmOutcome failed(const QString& message) { return {FilmResult::Failed, message, {}, {}}; }
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
  reply.status = ctx.status;
  reply.mayPass = ctx.mayPass;
  reply.retryAfter = ctx.retryAfter;
  return reply;
}

FilmDownload::FilmDownload(FilmView& view)
    : view_(view), request_(net::HandleSlots{&v_.hSession, &v_.hConnect, &v_.hRequest}) {
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

void FilmDownload::abort() {
  request_.close();
  output_.flush();  // every byte received so far stays in the file
}

void FilmDownload::clearProgress() {
  v_.receivedBytes = 0;
  v_.readsSinceUpdate = 0;
  v_.sliceSize = 0;
}

FilmOutcome FilmDownload::run(const QString& identifier, RunFiles* files) {
  FilmOutcome outcome = runSteps(identifier, files);
  catchUp_.stop();  // never touches the window once the film has ended
  request_.close();
  output_.close();  // a stopped film keeps what it received
  // What was pressed during the final sync and rename is handled while still busy, so
  // "Állj!" stops the program rather than starting another film.
  if (outcome.result == FilmResult::Finished && !view_.yieldBeforeStep()) return kStopped;
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
  v_.filmFields = record.filmFields;
  v_.sliceUrls = record.sliceUrls;
  v_.referrerUrl = record.referrerUrl;
  v_.sliceCount = record.sliceCount;
  if (status == RecordStatus::Empty) return failed(QStringLiteral("A szerver nem válaszolt."));
  if (status == RecordStatus::Malformed) return failed(QStringLiteral("A szerver válasza hibás."));

  if (v_.sliceCount == 0) return {FilmResult::Refused, v_.filmFields.at(2), {}, {}};

  if (auto ended = querySize()) return *ended;
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
  return {FilmResult::Reported, view_.sizeLabel().caption(), {}, {}};
}

std::optional<FilmOutcome> FilmDownload::querySize() {
  for (int failures = 0;; ++failures) {
    const TextReply reply =
        view_.fetchText(QStringLiteral("meret"), v_.sliceUrls.at(0), v_.referrerUrl, 0);
    if (view_.ending()) return kStopped;
    view_.sizeLabel().setCaption(reply.text);
    // Only a real answer may call the film too small; a busy host is no broken film, nor
    // is a 206 to a request without a range.
    if (!RetryRules::mayPass(reply.status, reply.mayPass) && reply.status != 206)
      return std::nullopt;
    if (failures == rules_.retries) return failed(sliceFailure(0));
    view_.setInfo(
        QStringLiteral("Újrapróbálom: 1. szelet (%1/%2)").arg(failures + 1).arg(rules_.retries));
    view_.waitBeforeRetry(rules_.wait(failures, reply.retryAfter, secondsNow()));
    if (view_.ending()) return kStopped;
  }
}

void FilmDownload::updateProgress() {
  v_.readsSinceUpdate = 0;
  // Skipped texts are left to the catch-up timer.
  if (std::chrono::steady_clock::now() - lastShown_ < kShowEvery) return computeFigures();
  showProgress();
}

void FilmDownload::computeFigures() {
  const Progress p = progressNumbers(v_.receivedBytes, v_.totalKb, view_.barLength());
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

FilmDownload::Name FilmDownload::chooseName(const QString& identifier, RunFiles* files) const {
  const QString filmName = v_.filmFields.at(2);
  // Another film finished in this run under the same name keeps its file.
  Name n;
  if (files) {
    for (;; ++n.copy) {
      const auto taken = files->find(outputFileName(filmName, n.copy));
      if (taken == files->end() || taken->second == identifier) break;
    }
  }
  n.fileName = outputFileName(filmName, n.copy);
  n.path = outputPath(view_.targetFolder(), filmName, n.copy);
  return n;
}

FilmOutcome FilmDownload::downloadSlices(const QString& identifier, RunFiles* files) {
  view_.setBarWidth(0);
  const Name name = chooseName(identifier, files);
  v_.receivedBytes = 0;
  v_.readsSinceUpdate = 0;
  lastShown_ = {};
  shownBytes_ = 0;
  facts_.assign(std::size_t(v_.sliceUrls.size()), SliceFacts{});
  starts_.assign(facts_.size(), 0);
  filmRestarts_ = 0;
  Place at;
  if (auto ended = openWorkFile(identifier, name, at)) return *ended;
  // Without an event loop (no application) nothing would ever run it.
  if (QAbstractEventDispatcher::instance()) catchUp_.start();

  while (at.slice < v_.sliceUrls.size()) {
    if (auto ended = fetchWithTries(at, name)) return *ended;
    ++at.slice;  // after a film that changed on the host: its first slice
    at.start = output_.size();
  }
  return commit(identifier, name, files);
}

std::optional<FilmOutcome> FilmDownload::openWorkFile(const QString& identifier, const Name& name,
                                                      Place& place) {
  const QByteArray key = workKey(identifier, name.fileName, v_.sliceUrls);
  WorkMark mark;
  const OutputFile::Opened opened = output_.open(view_.targetFolder(), name.fileName, key, &mark);
  if (opened == OutputFile::Opened::Refused)
    return failed(QStringLiteral("Nem sikerült létrehozni a fájlt: ") + name.path);
  if (opened == OutputFile::Opened::Fresh || output_.size() == 0) return std::nullopt;

  switch (prove(mark, place)) {
    case Proof::Stopped: return kStopped;
    case Proof::Failed: return failed(sliceFailure(checking_));
    case Proof::Changed:
      place = {};
      facts_.assign(facts_.size(), SliceFacts{});
      if (!output_.startOver())
        return failed(QStringLiteral("Nem sikerült létrehozni a fájlt: ") + name.path);
      return std::nullopt;
    case Proof::Holds: break;
  }
  v_.receivedBytes = std::int64_t(output_.size());
  view_.setInfo(QStringLiteral("Folytatom: %1Kb megvan")
                    .arg(formatNumber(roundHalfEven(double(output_.size()) / 1024.0),
                                      userDecimalSeparator())));
  return std::nullopt;
}

// The work file holds this film up to its end: the slices it ends in are the ones the
// mark names, and their first and last bytes are the host's (by validator where there is
// one, else byte for byte).
FilmDownload::Proof FilmDownload::prove(const WorkMark& mark, Place& place) {
  const std::uint64_t length = output_.size();
  const WorkMark::Slice* cur = mark.find(mark.slice);
  if (mark.slice >= int(facts_.size()) || length < mark.sliceStart ||
      (cur && cur->total && length > mark.sliceStart + cur->total))
    return Proof::Changed;
  for (const WorkMark::Slice& s : mark.slices)
    if (s.index < int(facts_.size())) facts_[std::size_t(s.index)] = {true, s.total, s.validator};
  place = {mark.slice, mark.sliceStart};
  int last = mark.slice;  // the slice that holds the file's last byte
  std::uint64_t lastStart = mark.sliceStart;
  if (length == mark.sliceStart && mark.slice > 0) {
    const WorkMark::Slice* before = mark.find(mark.slice - 1);
    if (!before || !before->total || before->total > lastStart) return Proof::Changed;
    --last;
    lastStart -= before->total;
  }
  // A slice continued with If-Range proves itself with its first answer.
  const bool selfProved = length > place.start && !facts_[std::size_t(last)].validator.isEmpty();
  if (last != 0 || !selfProved) {
    const WorkMark::Slice* first = mark.find(0);
    const std::uint64_t end = last == 0 ? length : (first ? first->total : 0);
    if (end == 0) return Proof::Changed;
    const Proof p = proveSlice(0, 0, 0, std::min(end, kResumeCheckBytes), mark);
    if (p != Proof::Holds) return p;
  }
  if (selfProved || (last == 0 && length <= kResumeCheckBytes)) return Proof::Holds;
  const std::uint64_t from = std::max(lastStart, length - std::min(length, kResumeCheckBytes));
  return proveSlice(last, lastStart, from, length, mark);
}

// Bytes [from, to) of the file, in the slice that starts at sliceStart: proven by the
// slice's validator when it has one, else compared with what the host sends.
FilmDownload::Proof FilmDownload::proveSlice(int slice, std::uint64_t sliceStart,
                                             std::uint64_t from, std::uint64_t to,
                                             const WorkMark& mark) {
  checking_ = slice;
  const WorkMark::Slice* known = mark.find(slice);
  const QByteArray validator = known ? known->validator : QByteArray();
  const std::uint64_t first = validator.isEmpty() ? from - sliceStart : 0;
  const std::uint64_t last = validator.isEmpty() ? to - sliceStart - 1 : 0;
  QByteArray lines = rangeHeader(first, last);
  if (!validator.isEmpty()) lines += "If-Range: " + validator + "\r\n";
  sendSliceRequest(slice, lines);
  if (view_.ending()) return Proof::Stopped;
  const int status = request_.status();
  if (status != 200 && status != 206) return Proof::Failed;  // may pass, or the film is gone
  const ContentRange range = contentRange(request_);
  if (status == 200 || range.first != first ||
      (known && known->total && range.total != known->total))
    return Proof::Changed;
  if (!validator.isEmpty()) return Proof::Holds;
  QByteArray body;
  const std::uint64_t wanted = last - first + 1;
  while (std::uint64_t(body.size()) < wanted) {
    std::uint32_t count = 0;
    if (!request_.read(v_.readBuffer, sizeof v_.readBuffer, count))
      return request_.failureMayPass() ? Proof::Failed : Proof::Changed;
    if (!yield()) return Proof::Stopped;
    if (count == 0) break;
    body.append(v_.readBuffer, qsizetype(count));
  }
  request_.close();
  return body == output_.readAt(from, std::size_t(to - from)) ? Proof::Holds : Proof::Changed;
}

bool FilmDownload::sendSliceRequest(int slice, const QByteArray& headerLines) {
  // A fresh session, connection and request for every request of a slice; a stop given
  // before any of these steps ends the program before it.
  return request_.send(view_.userAgent(), v_.sliceUrls.at(slice), v_.referrerUrl, headerLines,
                       [this] { return view_.yieldBeforeStep(); });
}

std::optional<FilmOutcome> FilmDownload::fetchWithTries(Place& at, const Name& name) {
  v_.loopItem = v_.sliceUrls.at(at.slice);
  starts_[std::size_t(at.slice)] = at.start;
  for (int failures = 0;; ++failures) {
    const Attempt a = fetchSlice(at.slice, at.start);
    request_.close();
    showProgress();
    if (a.kind == Attempt::Stopped || view_.ending()) return kStopped;
    if (a.kind == Attempt::WriteFailed) return writeFailed(name, at.slice);
    if (a.kind == Attempt::Complete) return std::nullopt;
    if (a.kind == Attempt::FilmChanged && filmRestarts_++ < rules_.retries) {
      if (!output_.startOver()) return writeFailed(name, 0);
      facts_.assign(facts_.size(), SliceFacts{});
      v_.receivedBytes = 0;
      at = {-1, 0};  // the slice before the first: the film goes on from its first byte
      return std::nullopt;
    }
    if (a.kind == Attempt::Final || a.kind == Attempt::FilmChanged || failures == rules_.retries) {
      output_.truncate(at.start);  // keep only complete slices
      v_.receivedBytes = std::int64_t(at.start);
      if (!output_.flush() || !output_.close()) return writeFailed(name, at.slice);
      return failed(sliceFailure(at.slice));
    }
    if (a.kind == Attempt::SliceChanged) continue;  // from its first byte, at once
    // The bytes that did arrive stay: the next try asks only for the rest.
    view_.setInfo(QStringLiteral("Újrapróbálom: %1. szelet (%2/%3)")
                      .arg(at.slice + 1)
                      .arg(failures + 1)
                      .arg(rules_.retries));
    view_.waitBeforeRetry(rules_.wait(failures, a.retryAfter, secondsNow()));
    if (view_.ending()) return kStopped;
  }
}

FilmDownload::Attempt FilmDownload::fetchSlice(int slice, std::uint64_t sliceStart) {
  const SliceFacts& facts = facts_[std::size_t(slice)];
  const std::uint64_t have = output_.size() - sliceStart;
  // Only what is still missing of the slice, and only if it is still the same slice.
  QByteArray lines = have > 0 ? rangeHeader(have) : QByteArray();
  const bool ifRange = have > 0 && !facts.validator.isEmpty();
  if (ifRange) lines += "If-Range: " + facts.validator + "\r\n";
  sendSliceRequest(slice, lines);
  if (view_.ending()) return {Attempt::Stopped, {}};
  std::uint64_t skip = 0;
  if (auto judged = judgeAnswer(slice, sliceStart, have > 0, ifRange, skip)) return *judged;
  return readSlice(skip, sliceStart, facts_[std::size_t(slice)].total);
}

// What the answer's head says: an attempt already over, or how many of its bytes the
// file already has.
std::optional<FilmDownload::Attempt> FilmDownload::judgeAnswer(int slice, std::uint64_t sliceStart,
                                                               bool askedRange, bool ifRange,
                                                               std::uint64_t& skip) {
  SliceFacts& facts = facts_[std::size_t(slice)];
  const std::uint64_t have = output_.size() - sliceStart;
  const int status = request_.status();
  if (status == 0)
    return Attempt{request_.failureMayPass() ? Attempt::MayPass : Attempt::Final, {}};
  if (RetryRules::mayPass(status, false))
    return Attempt{Attempt::MayPass, request_.header("Retry-After")};
  const ContentRange range = contentRange(request_);
  SliceFacts told{
      true, (status == 206 || status == 416 ? range.total : request_.contentLength()).value_or(0),
      validatorOf(request_)};
  const bool differs = facts.known && ((facts.total && told.total && facts.total != told.total) ||
                                       (!facts.validator.isEmpty() && !told.validator.isEmpty() &&
                                        facts.validator != told.validator));
  if (status == 416) {
    // Asked from past the end: complete if the slice is as long as what the file holds.
    if (askedRange && told.total == have && !differs) return Attempt{Attempt::Complete, {}};
  } else if (status != 200 && status != 206) {
    return Attempt{Attempt::Final, {}};
  } else if (status == 206 && (!askedRange || range.first != have)) {
    return Attempt{Attempt::MayPass, {}};  // a broken answer
  }
  // A 200 to If-Range: the host's slice is not the one the file holds bytes of.
  const bool replaced = status == 200 && ifRange;
  if (replaced && sliceStart > 0) return Attempt{Attempt::FilmChanged, {}};
  if (differs || replaced || status == 416) {
    if (!output_.truncate(sliceStart)) return Attempt{Attempt::WriteFailed, {}};
    v_.receivedBytes = std::int64_t(sliceStart);
    facts = {};
    if (status != 200) return Attempt{Attempt::SliceChanged, {}};  // asked again from byte 0
  }
  if (!facts.known) {
    facts = told;
    if (!markSlice(slice, sliceStart)) return Attempt{Attempt::WriteFailed, {}};
  }
  skip = status == 200 ? output_.size() - sliceStart : 0;  // a host that ignores the range
  return std::nullopt;
}

FilmDownload::Attempt FilmDownload::readSlice(std::uint64_t skip, std::uint64_t sliceStart,
                                              std::uint64_t total) {
  std::uint64_t bodyBytes = 0;
  v_.readMore = true;
  while (v_.readMore) {
    ++v_.readsSinceUpdate;
    std::memset(v_.readBuffer, ' ', sizeof v_.readBuffer);
    std::uint32_t count = 0;
    v_.readMore = request_.read(v_.readBuffer, sizeof v_.readBuffer, count);
    v_.bytesRead = static_cast<std::int32_t>(count);
    if (!yield()) return {Attempt::Stopped, {}};
    if (!v_.readMore) return {request_.failureMayPass() ? Attempt::MayPass : Attempt::Final, {}};
    bodyBytes += count;
    // Bytes an answer that ignored the range sends again are dropped.
    std::uint32_t from = 0;
    if (skip > 0) {
      from = std::uint32_t(std::min<std::uint64_t>(skip, count));
      skip -= from;
    }
    if (count > from && !output_.write(v_.readBuffer + from, count - from))
      return {Attempt::WriteFailed, {}};
    if (!yield()) return {Attempt::Stopped, {}};
    if (v_.bytesRead == 0) v_.readMore = false;
    v_.receivedBytes += count - from;
    if (v_.readsSinceUpdate == 100) updateProgress();
  }
  // A film is never stored in empty slices: no bytes at all is a broken slice, as is an
  // answer that ignored the range and ended before it, or one of another length than told.
  const std::uint64_t held = output_.size() - sliceStart;
  if (bodyBytes == 0 || skip > 0 || (total && held != total)) return {Attempt::MayPass, {}};
  return {Attempt::Complete, {}};
}

bool FilmDownload::markSlice(int slice, std::uint64_t sliceStart) {
  WorkMark m;
  m.slice = slice;
  m.sliceStart = sliceStart;
  for (const int i : {0, slice - 1, slice}) {
    if (i < 0 || m.find(i) || !facts_[std::size_t(i)].known) continue;
    const SliceFacts& f = facts_[std::size_t(i)];
    m.slices.push_back({i, f.total, f.validator});
  }
  return output_.setMark(m);
}

FilmOutcome FilmDownload::writeFailed(const Name& name, int slice) {
  // Only the complete slices that reached the disk stay, and the mark says so.
  while (slice > 0 && starts_[std::size_t(slice)] > output_.onDisk()) --slice;
  const std::uint64_t keep = std::min(starts_[std::size_t(slice)], output_.onDisk());
  if (output_.truncate(keep)) markSlice(slice, keep);
  output_.close();
  return failed(QStringLiteral("Nem sikerült írni a fájlt: ") + name.path);
}

FilmOutcome FilmDownload::commit(const QString& identifier, const Name& name, RunFiles* files) {
  // Only a complete film takes the final name (an earlier copy is replaced only now).
  if (!output_.commit()) {
    output_.close();  // the whole film stays in the work file
    return failed(QStringLiteral("Nem sikerült írni a fájlt: ") + name.path);
  }
  if (files) (*files)[name.fileName] = identifier;
  return {FilmResult::Finished, {}, savedFilmName(v_.filmFields.at(2), name.copy), name.path};
}

}  // namespace download
