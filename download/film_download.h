// The film download: record, size query, refusal and error report, then every slice
// appended to one output file. Talks to the window only through FilmView.
#pragma once

#include <QString>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <vector>

#include "download/film_state.h"
#include "download/output_file.h"
#include "download/proof.h"
#include "download/retry.h"
#include "net/fetch.h"

namespace download {

// Bounds of the service's replies: a record over its bound is unusable; of an error-report
// answer over its bound only the beginning is kept.
constexpr std::size_t kRecordLimit = 16u * 1024 * 1024;
constexpr std::size_t kReportLimit = 1024u * 1024;
constexpr qsizetype kOverLimitKept = 64 * 1024;

// A text reply of the service, as far as it was read.
struct TextReply {
  QString text;            // over the bound: its first kOverLimitKept characters
  bool complete = false;   // the whole answer arrived
  bool overLimit = false;  // reading stopped at the bound
  int status = 0;          // 0: no answer
  bool mayPass = false;    // no answer, for a cause that may pass
  QByteArray retryAfter;
};

// net::fetchText with its outcome as a reply.
TextReply fetchReply(net::FetchContext ctx, const QString& mode, const QString& url,
                     const QString& referrer);

// What the download asks of the window while it runs.
class FilmView {
 public:
  virtual ~FilmView() = default;
  // Lets the window handle its events (the stop command among them); the window may
  // batch these.
  virtual void yieldToWindow() = 0;
  // Before each network step (open, connect, send): handles every pending event, so a
  // stop given before the step ends the program before it. False when it is ending.
  virtual bool yieldBeforeStep() = 0;
  // True once the program is ending (stop command or window closed): do nothing more.
  virtual bool ending() const = 0;
  virtual QString serviceHost() const = 0;
  virtual QString userAgent() const = 0;  // agentName: the user agent of every session
  virtual float barLength() const = 0;    // barFullWidth: the bar's full length, in twips
  virtual QString targetFolder() const = 0;
  // Progress: the status line, the caption, the bar (width in twips; the control may
  // refuse a value, which is then skipped).
  virtual void setInfo(const QString& text) = 0;
  virtual void setWindowCaption(const QString& text) = 0;
  virtual void setBarWidth(float twips) = 0;
  virtual net::TextTarget& sizeLabel() = 0;  // the hidden per-request label
  // At most maxBytes of the body are read (see net::fetchText).
  virtual TextReply fetchText(const QString& mode, const QString& url, const QString& referrer,
                              std::size_t maxBytes) = 0;
  // Waits before a broken slice is tried again, the window live meanwhile; returns early
  // when the program is ending.
  virtual void waitBeforeRetry(std::chrono::milliseconds wait) = 0;
};

enum class FilmResult {
  Finished,  // every slice is in the file
  Refused,   // the service refused the identifier
  Reported,  // first slice too small; the error report was sent
  Failed,    // unusable reply, file trouble or a broken slice
  Stopped,   // the program is ending
};

// How a film ended, for the window to show.
struct FilmOutcome {
  FilmResult result = FilmResult::Failed;
  // The box text: the refusal, the error report's answer, or what failed.
  QString message;
  // The film's name as saved, and the file's path (Finished).
  QString savedName;
  QString savedPath;
};

// The files of the films finished in one run of the queue, by file name: the identifier
// of the film in each. A different film whose name is taken is saved as "name (2)", ...
using RunFiles = std::map<QString, QString>;

class FilmDownload {
 public:
  explicit FilmDownload(FilmView& view);
  // What the download is doing, for the window to show.
  const FilmState& state() const { return v_; }
  // files, when given, is the run's record of finished films, and learns this one.
  FilmOutcome run(const QString& identifier, RunFiles* files = nullptr);
  // The program is ending: closes the slice transfer's handles and puts every byte
  // received so far on the disk, the mark vouching for them.
  void abort();
  // The idle state's reset of the figures.
  void clearProgress();

 private:
  struct Attempt {
    enum Kind { Complete, Stopped, WriteFailed, MayPass, Final, SliceChanged, FilmChanged } kind;
    QByteArray retryAfter;
  };
  // What a slice's first answer said of it; a later answer that disagrees means the
  // slice changed.
  struct SliceFacts {
    bool known = false;
    std::uint64_t total = 0;  // 0: not told
    QByteArray validator;     // strong only (see strongValidator); empty: none
  };
  struct Place {
    int slice = 0;
    std::uint64_t start = 0;  // where that slice starts in the file
  };
  struct Name {
    QString fileName;
    QString path;
    int copy = 1;
  };
  // How a work file of an earlier run fared.
  enum class Resume { Holds, Complete, Changed, Failed, Stopped };

  FilmOutcome runSteps(const QString& identifier, RunFiles* files);
  // The size of the first slice, tried again like a slice; an outcome when the film ends.
  std::optional<FilmOutcome> querySize();
  FilmOutcome downloadSlices(const QString& identifier, RunFiles* files);
  Name chooseName(const QString& identifier, RunFiles* files) const;
  // Opens or continues the work file; where the slices go on, or how the film ended.
  std::optional<FilmOutcome> openWorkFile(const QString& identifier, const Name& name,
                                          Place& place);
  // Cuts the work file to what the mark vouches for and proves the rest (the film's first
  // bytes and the work file's last ones); place becomes where the slices go on.
  Resume resume(const WorkMark& mark, Place& place);
  // Checks the held bytes [from, to) of a slice (held of it in the file) with the host,
  // with the slices' tries; the file is never touched.
  Resume check(int slice, std::uint64_t sliceStart, std::uint64_t held, std::uint64_t from,
               std::uint64_t to);
  Evidence answerEvidence() const;
  // Reads the answer, whose body starts at byte bodyFirst of the slice, as far as to, and
  // compares its bytes [from, to) with the file's.
  Evidence::Bytes compareBody(std::uint64_t sliceStart, std::uint64_t bodyFirst,
                              std::uint64_t from, std::uint64_t to);
  // How many of data's n bytes are the same as the file's from offset.
  std::size_t sameAsFile(std::uint64_t offset, const char* data, std::size_t n);
  // One slice with its tries; an outcome when the film ends. When the film changed on the
  // host, at becomes the place before its first slice.
  std::optional<FilmOutcome> fetchWithTries(Place& at, const Name& name);
  Attempt fetchSlice(int slice, std::uint64_t sliceStart);  // one try
  // The answer's body into the file. Its first byte is the slice's byte asked.first (0 for
  // a 200); of the held bytes the file has, those it sends again are compared when
  // compare, else skipped (proven by the validator).
  Attempt readSlice(int slice, std::uint64_t sliceStart, const Asked& asked, Evidence e,
                    std::uint64_t held, bool compare);
  // The slice's bytes go: it is written again from its first byte.
  bool dropSlice(int slice, std::uint64_t sliceStart);
  FilmOutcome commit(const QString& identifier, const Name& name, RunFiles* files);
  // The mark: the slice under way and what is known of it, of the one before and of the
  // first; durable syncs first, so it vouches for every byte written.
  bool markSlice(int slice, std::uint64_t sliceStart, bool durable = false);
  FilmOutcome writeFailed(const Name& name, int slice);
  bool sendSliceRequest(int slice, const QByteArray& headerLines);
  // "Újrapróbálom: …" and the wait before the next try; false when the program is ending.
  bool waitToRetry(int slice, int failures, const QByteArray& retryAfter);
  bool yield();  // false when the program is ending
  void updateProgress();
  void computeFigures();
  void showProgress();  // the figures of every byte received so far, on the screen now

  FilmState v_;
  FilmView& view_;
  OutputFile output_;
  net::Request request_;  // the slice request under way, in the window's handles
  RetryRules rules_;
  std::vector<SliceFacts> facts_;
  std::vector<std::uint64_t> starts_;  // where each slice begun in this run starts
  int filmRestarts_ = 0;
  int checking_ = 0;                                 // the slice a work file's check asks for
  bool dropped_ = false;                             // the slice under way lost its held bytes
  QByteArray window_;                                // file bytes compared with the host's
  std::uint64_t windowAt_ = 0;
  std::chrono::steady_clock::time_point lastShown_;  // last progress put on screen
  std::int64_t shownBytes_ = 0;                      // receivedBytes as last put on screen
  QTimer catchUp_;                                   // runs only while the slices download
};

}  // namespace download
