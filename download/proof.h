// Whether bytes a work file already holds may stay. One rule, asked by every stage of a
// film's download (opening a work file, checking it, continuing or retrying a slice):
// a held byte stays only with a proof, never because of where it sits.
//   Validator: the host repeats the slice's strong validator (a 206 to If-Range, or an
//              answer carrying the same strong validator).
//   Compared:  the host's own bytes at those offsets were compared and are the same.
//   Durable:   the mark vouches for them: they were on the disk before it was written.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>

namespace download {

// Where the host gives no strong validator, held bytes are compared with the host's over
// this many bytes: the film's first ones, the work file's last ones, and before the held
// end of a slice that is tried again.
constexpr std::uint64_t kResumeCheckBytes = 64 * 1024;

// The answer's strong validator, fit for If-Range; empty when it has none. A strong ETag
// (never a weak "W/" one); without any ETag, a Last-Modified at least 60 s before the same
// answer's Date. Anything else is no validator at all.
QByteArray strongValidator(const QByteArray& etag, const QByteArray& lastModified,
                           const QByteArray& date);

enum class Proof { None, Validator, Compared, Durable };

// Held bytes of one slice: what the file holds of it and what its first answer told.
struct Held {
  std::uint64_t end = 0;    // bytes of the slice the file holds (the question is about them)
  std::uint64_t total = 0;  // the slice's length as first told; 0: not told
  QByteArray validator;     // strong, as first told; empty: none
};

// What was asked of the host about them.
struct Asked {
  bool ranged = false;
  std::uint64_t first = 0;  // the Range's first byte
  bool ifRange = false;     // Held::validator went into If-Range
  bool check = false;       // only a check: the answer is not taken as the slice's bytes
};

// What is known so far: the disk's word, or the host's answer (its head, then its bytes).
struct Evidence {
  // The disk: the mark vouches for the slice's bytes below this (nullopt: ask the host).
  std::optional<std::uint64_t> durable;
  int status = 0;  // 0: no answer
  bool mayPass = false;
  std::optional<std::uint64_t> first;  // Content-Range's first byte (206)
  std::optional<std::uint64_t> total;  // Content-Range's total (206, 416); Content-Length (200)
  QByteArray validator;                // the answer's strong validator; empty: none
  enum class Bytes { Unread, Same, Differ, Short } bytes = Bytes::Unread;
};

struct Judgement {
  enum Kind {
    Kept,          // the held bytes stay; proof says by what
    Compare,       // only the host's bytes can tell: compare them, then ask again
    Complete,      // the slice has exactly the held bytes (a 416 to If-Range)
    Cut,           // the bytes beyond what the mark vouches for go
    SliceChanged,  // the slice is another one now: it is rewritten from its first byte
    FilmChanged,   // another strong validator: the film was replaced on the host
    MayPass,       // no proof either way, for a cause that may pass; the bytes stay as they are
    Final,         // no proof either way, and asking again will not help; the bytes stay
  } kind = Final;
  Proof proof = Proof::None;
  const char* why = "";

  bool operator==(const Judgement& o) const { return kind == o.kind && proof == o.proof; }
};

Judgement judgeHeld(const Held& held, const Asked& asked, const Evidence& e);

}  // namespace download
