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

// The answer's validator fit for If-Range: a strong one, else none.
QByteArray validatorOf(const net::Request& r) {
  return strongValidator(r.header("ETag"), r.header("Last-Modified"), r.header("Date"));
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
const FilmOutcome kStopped{FilmResult::Stopped, {}, {}, {}};

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
  // Every byte received so far stays in the file, and the mark vouches for it.
  if (output_.isOpen()) output_.sync();
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
    if (!waitToRetry(0, failures, reply.retryAfter)) return kStopped;
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
  if (opened == OutputFile::Opened::Busy)
    return failed(QStringLiteral("Ez a film már letöltés alatt áll: ") + name.path);
  if (opened == OutputFile::Opened::Refused)
    return failed(QStringLiteral("Nem sikerült létrehozni a fájlt: ") + name.path);
  if (opened == OutputFile::Opened::Fresh || output_.size() == 0) return std::nullopt;

  switch (resume(mark, place)) {
    case Resume::Stopped: return kStopped;
    case Resume::Failed: return failed(sliceFailure(checking_));
    case Resume::Changed:
      place = {};
      facts_.assign(facts_.size(), SliceFacts{});
      if (!output_.startOver())
        return failed(QStringLiteral("Nem sikerült létrehozni a fájlt: ") + name.path);
      return std::nullopt;
    case Resume::Complete: place.slice = int(facts_.size()); break;
    case Resume::Holds: break;
  }
  v_.receivedBytes = std::int64_t(output_.size());
  view_.setInfo(QStringLiteral("Folytatom: %1Kb megvan")
                    .arg(formatNumber(roundHalfEven(double(output_.size()) / 1024.0),
                                      userDecimalSeparator())));
  return std::nullopt;
}

// The mark places the file's end in the slice it names or the one before; the bytes the
// mark vouches for stay only once the film's first bytes and the file's last ones are the
// host's. The slice the file ends in is proven by its own continuation (fetchSlice).
FilmDownload::Resume FilmDownload::resume(const WorkMark& mark, Place& place) {
  const int count = int(facts_.size());
  Held file;  // the disk's word is about the whole file
  file.end = output_.size();
  Evidence disk;
  disk.durable = mark.length;
  if (judgeHeld(file, {}, disk).kind == Judgement::Cut &&
      !output_.truncate(mark.length))
    return Resume::Changed;
  const std::uint64_t length = output_.size();
  if (mark.slice > count) return Resume::Changed;
  for (const WorkMark::Slice& s : mark.slices)
    if (s.index < count) facts_[std::size_t(s.index)] = {true, s.total, s.validator};
  // Where the slice before one starts, when the mark tells.
  const auto startBefore = [&](int slice, std::uint64_t start) -> std::optional<std::uint64_t> {
    const WorkMark::Slice* before = slice > 0 ? mark.find(slice - 1) : nullptr;
    if (!before || !before->total || before->total > start) return std::nullopt;
    return start - before->total;
  };
  int cur = mark.slice;
  std::uint64_t curStart = mark.sliceStart;
  if (length < curStart) {  // the disk kept less than the slice under way
    const auto before = startBefore(cur, curStart);
    if (!before || length < *before) return Resume::Changed;
    --cur;
    curStart = *before;
  }
  place = {cur, curStart};
  if (cur == count) return length == curStart ? Resume::Complete : Resume::Changed;
  const SliceFacts& now = facts_[std::size_t(cur)];
  if (now.total && length > curStart + now.total) return Resume::Changed;

  // The film's first bytes, unless continuing the first slice proves them.
  const std::uint64_t first = cur == 0 ? length : facts_[0].total;
  if (first == 0) return Resume::Changed;
  if (cur > 0 || (facts_[0].validator.isEmpty() && length > kResumeCheckBytes)) {
    const Resume r = check(0, 0, first, 0, std::min(first, kResumeCheckBytes));
    if (r != Resume::Holds) return r;
  }
  // The file's last bytes that lie before the slice under way.
  const std::uint64_t lastFrom = length - std::min(length, kResumeCheckBytes);
  if (cur == 0 || lastFrom >= curStart) return Resume::Holds;
  const auto beforeStart = startBefore(cur, curStart);
  if (!beforeStart) return Resume::Changed;
  const std::uint64_t held = curStart - *beforeStart;
  return check(cur - 1, *beforeStart, held, std::max(lastFrom, *beforeStart) - *beforeStart, held);
}

FilmDownload::Resume FilmDownload::check(int slice, std::uint64_t sliceStart, std::uint64_t held,
                                         std::uint64_t from, std::uint64_t to) {
  checking_ = slice;
  const SliceFacts& facts = facts_[std::size_t(slice)];
  Asked asked;
  asked.ranged = asked.check = true;
  asked.ifRange = !facts.validator.isEmpty();
  asked.first = asked.ifRange ? 0 : from;
  QByteArray lines = rangeHeader(asked.first, asked.ifRange ? 0 : to - 1);
  if (asked.ifRange) lines += "If-Range: " + facts.validator + "\r\n";
  const Held h{held, facts.total, facts.validator};
  for (int failures = 0;; ++failures) {
    sendSliceRequest(slice, lines);
    if (view_.ending()) return Resume::Stopped;
    Evidence e = answerEvidence();
    Judgement j = judgeHeld(h, asked, e);
    if (j.kind == Judgement::Compare) {
      e.bytes = compareBody(sliceStart, e.status == 206 ? asked.first : 0, from, to);
      if (view_.ending()) return Resume::Stopped;
      j = judgeHeld(h, asked, e);
    }
    const QByteArray retryAfter = request_.header("Retry-After");
    request_.close();
    if (j.kind == Judgement::Kept) return Resume::Holds;
    if (j.kind == Judgement::SliceChanged || j.kind == Judgement::FilmChanged)
      return Resume::Changed;
    if (j.kind != Judgement::MayPass || failures == rules_.retries) return Resume::Failed;
    if (!waitToRetry(slice, failures, retryAfter)) return Resume::Stopped;
  }
}

Evidence FilmDownload::answerEvidence() const {
  Evidence e;
  e.status = request_.status();
  e.mayPass = e.status == 0 && request_.failureMayPass();
  const ContentRange range = contentRange(request_);
  e.first = range.first;
  e.total = e.status == 206 || e.status == 416 ? range.total : request_.contentLength();
  e.validator = validatorOf(request_);
  return e;
}

Evidence::Bytes FilmDownload::compareBody(std::uint64_t sliceStart, std::uint64_t bodyFirst,
                                          std::uint64_t from, std::uint64_t to) {
  window_.clear();
  std::uint64_t at = bodyFirst;  // the slice's byte the next body byte is
  while (at < to) {
    std::uint32_t count = 0;
    if (!request_.read(v_.readBuffer, sizeof v_.readBuffer, count) || !yield() || count == 0)
      return Evidence::Bytes::Short;
    const std::uint64_t end = std::min(at + count, to);
    if (end > from) {
      const std::uint64_t begin = std::max(at, from);
      const std::size_t n = std::size_t(end - begin);
      if (sameAsFile(sliceStart + begin, v_.readBuffer + (begin - at), n) < n)
        return Evidence::Bytes::Differ;
    }
    at += count;
  }
  return Evidence::Bytes::Same;
}

std::size_t FilmDownload::sameAsFile(std::uint64_t offset, const char* data, std::size_t n) {
  std::size_t same = 0;
  while (same < n) {
    const std::uint64_t at = offset + same;
    if (window_.isEmpty() || at < windowAt_ || at >= windowAt_ + std::uint64_t(window_.size())) {
      window_ = output_.readAt(at, std::size_t(kResumeCheckBytes));
      windowAt_ = at;
      if (window_.isEmpty()) return same;
    }
    const char* mine = window_.constData() + (at - windowAt_);
    const std::size_t m = std::min(n - same, std::size_t(window_.size()) - std::size_t(at - windowAt_));
    const std::size_t equal = std::size_t(std::mismatch(data + same, data + same + m, mine).first -
                                          (data + same));
    same += equal;
    if (equal < m) return same;
  }
  return same;
}

bool FilmDownload::waitToRetry(int slice, int failures, const QByteArray& retryAfter) {
  view_.setInfo(QStringLiteral("Újrapróbálom: %1. szelet (%2/%3)")
                    .arg(slice + 1)
                    .arg(failures + 1)
                    .arg(rules_.retries));
  view_.waitBeforeRetry(rules_.wait(failures, retryAfter, secondsNow()));
  return !view_.ending();
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
  // What the file held of the slice before its tries (a continued slice's proven bytes):
  // a slice that fails leaves the file as it was then.
  const std::uint64_t before = output_.size();
  dropped_ = false;
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
      const std::uint64_t keep = dropped_ ? at.start : before;
      output_.truncate(keep);
      v_.receivedBytes = std::int64_t(keep);
      if (!markSlice(at.slice, at.start, true) || !output_.close())
        return writeFailed(name, at.slice);
      return failed(sliceFailure(at.slice));
    }
    if (a.kind == Attempt::SliceChanged) continue;  // from its first byte, at once
    // The bytes that did arrive stay: the next try asks only for the rest.
    if (!waitToRetry(at.slice, failures, a.retryAfter)) return kStopped;
  }
}

FilmDownload::Attempt FilmDownload::fetchSlice(int slice, std::uint64_t sliceStart) {
  SliceFacts& facts = facts_[std::size_t(slice)];
  const std::uint64_t have = output_.size() - sliceStart;
  // Only what is still missing of the slice, and only if it is still the same slice: by its
  // strong validator, else by asking again for the held end's last bytes to compare.
  Asked asked;
  asked.ranged = have > 0;
  asked.ifRange = asked.ranged && !facts.validator.isEmpty();
  asked.first = asked.ifRange ? have : have - std::min(have, kResumeCheckBytes);
  QByteArray lines = asked.ranged ? rangeHeader(asked.first) : QByteArray();
  if (asked.ifRange) lines += "If-Range: " + facts.validator + "\r\n";
  if (asked.ranged && !output_.flush()) return {Attempt::WriteFailed, {}};  // compared below
  sendSliceRequest(slice, lines);
  if (view_.ending()) return {Attempt::Stopped, {}};
  const Evidence e = answerEvidence();
  const SliceFacts told{true, e.total.value_or(0), e.validator};

  if (!asked.ranged) {  // nothing held: the first answer tells what the slice is
    if (e.status == 0) return {e.mayPass ? Attempt::MayPass : Attempt::Final, {}};
    if (RetryRules::mayPass(e.status, false))
      return {Attempt::MayPass, request_.header("Retry-After")};
    if (e.status == 206) return {Attempt::MayPass, {}};  // a broken answer to a plain GET
    if (e.status != 200) return {Attempt::Final, {}};
    if (!facts.known || facts.total != told.total || facts.validator != told.validator) {
      facts = told;
      if (!markSlice(slice, sliceStart)) return {Attempt::WriteFailed, {}};
    }
    return readSlice(slice, sliceStart, asked, e, 0, false);
  }

  const Judgement j = judgeHeld({have, facts.total, facts.validator}, asked, e);
  switch (j.kind) {
    case Judgement::MayPass: return {Attempt::MayPass, request_.header("Retry-After")};
    case Judgement::Complete: return {Attempt::Complete, {}};
    case Judgement::FilmChanged: return {Attempt::FilmChanged, {}};
    case Judgement::SliceChanged:
      if (!dropSlice(slice, sliceStart)) return {Attempt::WriteFailed, {}};
      if (e.status != 200) return {Attempt::SliceChanged, {}};  // asked again from byte 0
      // A 200 is the slice from its first byte: it is the slice's first answer now.
      facts = told;
      if (!markSlice(slice, sliceStart)) return {Attempt::WriteFailed, {}};
      return readSlice(slice, sliceStart, asked, e, 0, false);
    case Judgement::Kept:
    case Judgement::Compare:
      return readSlice(slice, sliceStart, asked, e, have, j.kind == Judgement::Compare);
    case Judgement::Cut:
    case Judgement::Final: break;
  }
  return {Attempt::Final, {}};
}

bool FilmDownload::dropSlice(int slice, std::uint64_t sliceStart) {
  dropped_ = true;
  facts_[std::size_t(slice)] = {};
  v_.receivedBytes = std::int64_t(sliceStart);
  return output_.truncate(sliceStart);
}

FilmDownload::Attempt FilmDownload::readSlice(int slice, std::uint64_t sliceStart,
                                              const Asked& asked, Evidence e, std::uint64_t held,
                                              bool compare) {
  std::uint64_t bodyBytes = 0;
  std::uint64_t at = e.status == 206 ? asked.first : 0;  // the slice's byte the next one is
  window_.clear();
  char block[kReadsPerUpdate * kReadUnit];  // up to the next 100th 64-byte read at once
  v_.readMore = true;
  while (v_.readMore) {
    std::uint32_t count = 0;
    v_.readMore = request_.read(block, readSizeFor(v_.readsSinceUpdate), count);
    v_.readsSinceUpdate += readUnits(count);
    v_.bytesRead = static_cast<std::int32_t>(count);
    if (!yield()) return {Attempt::Stopped, {}};
    if (!v_.readMore) return {request_.failureMayPass() ? Attempt::MayPass : Attempt::Final, {}};
    bodyBytes += count;
    // Bytes the file holds already are compared with the host's, or skipped when proven.
    std::uint32_t from = 0;
    if (at < held) {
      from = std::uint32_t(std::min<std::uint64_t>(held - at, count));
      const std::size_t same = compare ? sameAsFile(sliceStart + at, block, from) : from;
      if (same < from) {
        e.bytes = Evidence::Bytes::Differ;
        if (judgeHeld({held, facts_[std::size_t(slice)].total, facts_[std::size_t(slice)].validator},
                      asked, e)
                .kind != Judgement::SliceChanged)
          return {Attempt::MayPass, {}};
        if (e.status != 200) {
          if (!dropSlice(slice, sliceStart)) return {Attempt::WriteFailed, {}};
          return {Attempt::SliceChanged, {}};  // asked again from byte 0
        }
        // A 200 is the slice from its first byte: written again from where it differs.
        dropped_ = true;
        held = at + same;
        from = std::uint32_t(same);
        compare = false;
        if (!output_.truncate(sliceStart + held)) return {Attempt::WriteFailed, {}};
        v_.receivedBytes = std::int64_t(sliceStart + held);
        facts_[std::size_t(slice)] = {true, e.total.value_or(0), e.validator};
        if (!markSlice(slice, sliceStart)) return {Attempt::WriteFailed, {}};
      }
    }
    at += count;
    if (count > from && !output_.write(block + from, count - from))
      return {Attempt::WriteFailed, {}};
    if (!yield()) return {Attempt::Stopped, {}};
    if (v_.bytesRead == 0) v_.readMore = false;
    v_.receivedBytes += count - from;
    if (v_.readsSinceUpdate == kReadsPerUpdate) updateProgress();
  }
  // The answer ended before the bytes the file holds: nothing proves them.
  if (at < held) return {Attempt::MayPass, {}};
  if (compare) {
    e.bytes = Evidence::Bytes::Same;
    const SliceFacts& f = facts_[std::size_t(slice)];
    if (judgeHeld({held, f.total, f.validator}, asked, e).kind != Judgement::Kept)
      return {Attempt::MayPass, {}};
  }
  // A film is never stored in empty slices: no bytes at all is a broken slice, as is one of
  // another length than told.
  const std::uint64_t total = facts_[std::size_t(slice)].total;
  const std::uint64_t length = output_.size() - sliceStart;
  if (bodyBytes == 0 || (total && length != total)) return {Attempt::MayPass, {}};
  return {Attempt::Complete, {}};
}

bool FilmDownload::markSlice(int slice, std::uint64_t sliceStart, bool durable) {
  WorkMark m;
  m.slice = slice;
  m.sliceStart = sliceStart;
  for (const int i : {0, slice - 1, slice}) {
    if (i < 0 || i >= int(facts_.size()) || m.find(i) || !facts_[std::size_t(i)].known) continue;
    const SliceFacts& f = facts_[std::size_t(i)];
    m.slices.push_back({i, f.total, f.validator});
  }
  // A mark can place the disk's length only in its slice or the one before.
  if (slice > 0 && slice <= int(starts_.size()) &&
      output_.durable() < starts_[std::size_t(slice - 1)])
    durable = true;
  // A disk that cannot sync leaves the mark vouching for less; only the end's sync is a must.
  if (durable) output_.sync();
  return output_.setMark(m);
}

FilmOutcome FilmDownload::writeFailed(const Name& name, int slice) {
  // Only the complete slices that reached the disk stay, and the mark says so.
  while (slice > 0 && starts_[std::size_t(slice)] > output_.onDisk()) --slice;
  const std::uint64_t keep = std::min(starts_[std::size_t(slice)], output_.onDisk());
  if (output_.truncate(keep)) markSlice(slice, keep, true);
  output_.close();
  return failed(QStringLiteral("Nem sikerült írni a fájlt: ") + name.path);
}

FilmOutcome FilmDownload::commit(const QString& identifier, const Name& name, RunFiles* files) {
  // Only a complete film takes the final name (an earlier copy is replaced only now). Until
  // the rename is done, the mark says the work file is complete: a later start renames it.
  const std::uint64_t length = output_.size();
  if (!markSlice(int(facts_.size()), length, true) || !output_.commit()) {
    output_.close();  // the whole film stays in the work file
    return failed(QStringLiteral("Nem sikerült írni a fájlt: ") + name.path);
  }
  if (files) (*files)[name.fileName] = identifier;
  return {FilmResult::Finished, {}, savedFilmName(v_.filmFields.at(2), name.copy), name.path};
}

}  // namespace download
