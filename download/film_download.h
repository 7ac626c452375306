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

// A broken slice is tried this many more times, after 1 s, 2 s, 4 s (a Retry-After of up
// to kMaxRetryAfterS seconds wins over the wait).
constexpr int kRetries = 3;
constexpr int kMaxRetryAfterS = 30;
// A work file is checked against this many bytes before its end before it is continued.
constexpr std::uint64_t kResumeCheckBytes = 64 * 1024;

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
  // The film's name as saved (Finished).
  QString savedName;
};

// The files of the films finished in one run of the queue, by file name: the identifier
// of the film in each. A different film whose name is taken is saved as "name (2)", ...
using RunFiles = std::map<QString, QString>;

class FilmDownload {
 public:
  FilmDownload(FilmState& state, FilmView& view);
  // files, when given, is the run's record of finished films, and learns this one.
  FilmOutcome run(const QString& identifier, RunFiles* files = nullptr);
  // Puts every byte received so far on the disk (before the process ends).
  void flushOutput() { output_.flush(); }

 private:
  struct Attempt {
    enum Kind { Complete, Stopped, WriteFailed, MayPass, Final } kind;
    int retryAfterS = -1;
  };
  struct ResumePoint {
    int slice = 0;                         // the slice the work file ends in
    std::uint64_t sliceStart = 0;          // where that slice starts in the file
    std::vector<std::uint64_t> sliceEnds;  // ends of the complete slices before it
  };
  struct RangeAnswer {
    bool partial = false;                // 206 for exactly the range asked
    std::optional<std::uint64_t> total;  // the slice's size, if told
    QByteArray body;
  };

  FilmOutcome runSteps(const QString& identifier, RunFiles* files);
  FilmOutcome downloadSlices(const QString& identifier, RunFiles* files);
  void openSliceRequest(const QString& url, const QByteArray& extraHeaders);
  // One request for what the file still lacks of a slice that starts at sliceStart.
  Attempt fetchSlice(const QString& url, std::uint64_t sliceStart);
  bool findResumePoint(std::uint64_t length, ResumePoint& point);
  RangeAnswer askRange(const QString& url, std::uint64_t first, std::uint64_t last, bool readBody);
  bool yield();  // false when the program is ending
  void updateProgress();
  void computeFigures();
  void showProgress();  // the figures of every byte received so far, on the screen now
  void closeSliceHandles();

  FilmState& v_;
  FilmView& view_;
  OutputFile output_;
  std::chrono::steady_clock::time_point lastShown_;  // last progress put on screen
  std::int64_t shownBytes_ = 0;                      // receivedBytes as last put on screen
  QTimer catchUp_;                                   // runs only while the slices download
};

}  // namespace download
