// The film download: record, size query, refusal and error report, then every slice
// appended to one output file. Talks to the window only through FilmView.
#pragma once

#include <QString>
#include <chrono>
#include <cstddef>

#include "download/output_file.h"
#include "download/window_vars.h"
#include "net/fetch.h"

namespace download {

// Bounds of the service's replies: a record over its bound is unusable; an error-report
// answer over its bound is shown cut to kReportShownChars.
constexpr std::size_t kRecordLimit = 16u * 1024 * 1024;
constexpr std::size_t kReportLimit = 1024u * 1024;
constexpr int kReportShownChars = 4000;

// A text reply of the service, as far as it was read.
struct TextReply {
  QString text;
  bool complete = false;   // the whole answer arrived
  bool overLimit = false;  // reading stopped at the bound
};

// What the download needs from the window.
class FilmView {
 public:
  virtual ~FilmView() = default;
  virtual void enterBusyState() = 0;
  virtual void enterIdleState() = 0;
  virtual void yieldToWindow() = 0;
  // True once the program is ending (stop command or window closed): do nothing more.
  virtual bool ending() const = 0;
  virtual QString serviceHost() const = 0;
  virtual QString targetFolder() const = 0;
  virtual void setInfo(const QString& text) = 0;
  virtual void setWindowCaption(const QString& text) = 0;
  // Width in twips; the control may refuse a value, which is then skipped.
  virtual void setBarWidth(float twips) = 0;
  virtual net::TextTarget& sizeLabel() = 0;  // the hidden per-request label
  // At most maxBytes of the body are read (see net::fetchText).
  virtual TextReply fetchText(const QString& mode, const QString& url, const QString& referrer,
                              std::size_t maxBytes) = 0;
  // A "Hiba!" warning; true when the user chose OK.
  virtual bool warn(const QString& text, bool withCancel) = 0;
  virtual void openExamplePage() = 0;
};

enum class FilmResult {
  Finished,  // every slice is in the file
  Refused,   // the service refused the identifier
  Reported,  // first slice too small; the error report was sent
  Failed,    // unusable reply, file trouble or a broken slice
  Stopped,   // the program is ending
};

class FilmDownload {
 public:
  FilmDownload(WindowVars& vars, FilmView& view) : v_(vars), view_(view) {}
  FilmResult run(const QString& identifier);
  // Puts every byte received so far on the disk (before the process ends).
  void flushOutput() { output_.flush(); }

 private:
  FilmResult runSteps(const QString& identifier);
  FilmResult fail(const QString& message);
  FilmResult downloadSlices();
  bool yield();  // false when the program is ending
  void updateProgress();
  void closeSliceHandles();

  WindowVars& v_;
  FilmView& view_;
  OutputFile output_;
  std::chrono::steady_clock::time_point lastShown_;  // last progress put on screen
};

}  // namespace download
