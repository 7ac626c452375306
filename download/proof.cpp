#include "download/proof.h"

#include "download/retry.h"
#include "net/fetch.h"

namespace download {

namespace {
Judgement kept(Proof proof, const char* why) { return {Judgement::Kept, proof, why}; }
Judgement no(Judgement::Kind kind, const char* why) { return {kind, Proof::None, why}; }
}  // namespace

QByteArray strongValidator(const QByteArray& etag, const QByteArray& lastModified,
                           const QByteArray& date) {
  const auto fit = [](const QByteArray& v) {
    return v.size() <= 512 && !v.contains('\r') && !v.contains('\n');
  };
  const QByteArray tag = etag.trimmed();
  // With any ETag, a date may never stand in for it, weak or not.
  if (!tag.isEmpty()) {
    const bool quoted = tag.size() >= 2 && tag.startsWith('"') && tag.endsWith('"');
    return quoted && fit(tag) ? tag : QByteArray();
  }
  const QByteArray modified = lastModified.trimmed();
  const std::optional<std::int64_t> when = net::httpDate(modified);
  const std::optional<std::int64_t> now = net::httpDate(date.trimmed());
  if (!when || !now || *now - *when < 60 || !fit(modified)) return {};
  return modified;
}

Judgement judgeHeld(const Held& held, const Asked& asked, const Evidence& e) {
  using K = Judgement;
  using Bytes = Evidence::Bytes;
  // (c) The disk: only what was synced before the mark was written.
  if (e.durable)
    return held.end <= *e.durable ? kept(Proof::Durable, "on the disk before the mark")
                                  : no(K::Cut, "past the length the mark vouches for");

  if (e.status == 0) return no(e.mayPass ? K::MayPass : K::Final, "no answer");
  if (RetryRules::mayPass(e.status, false)) return no(K::MayPass, "the host is busy");
  if (e.status != 200 && e.status != 206 && e.status != 416)
    return no(K::Final, "an answer without the slice");
  // (a) Another strong validator is another version, whatever else the answer says.
  if (!held.validator.isEmpty() && !e.validator.isEmpty() && e.validator != held.validator)
    return no(K::FilmChanged, "another strong validator");

  if (e.status == 416) {
    // A 416 to If-Range means the validator held and the slice ends where the file does.
    if (asked.ifRange && e.total == held.end && (!held.total || held.total == held.end))
      return {K::Complete, Proof::Validator, "416: the slice ends at the held end"};
    if (e.total && *e.total < held.end) return no(K::SliceChanged, "416: shorter than held");
    return no(K::MayPass, "416 that proves nothing");
  }

  if (e.status == 206) {
    if (!asked.ranged || e.first != asked.first) return no(K::MayPass, "206 of another range");
    if (held.total && e.total && *e.total != held.total)
      return no(K::SliceChanged, "206 of another length");
    if (asked.ifRange) return kept(Proof::Validator, "206 to If-Range");
  } else {  // 200: the whole slice, whatever was asked
    if (held.total && e.total && *e.total != held.total)
      return no(asked.check ? K::MayPass : K::SliceChanged, "200 of another length");
    if (!held.validator.isEmpty() && e.validator == held.validator)
      return kept(Proof::Validator, "200 with the same strong validator");
  }
  // (b) Nothing else speaks for them: the host's own bytes must.
  switch (e.bytes) {
    case Bytes::Unread: return no(K::Compare, "to be compared");
    case Bytes::Same: return kept(Proof::Compared, "the host's bytes are the same");
    case Bytes::Short: return no(K::MayPass, "the answer ended before the held bytes");
    case Bytes::Differ:
      // A 200 to a check may be any page at all; a 206 of the very range is the slice.
      return no(e.status == 200 && asked.check ? K::MayPass : K::SliceChanged,
                "the host's bytes differ");
  }
  return no(K::Final, "");
}

}  // namespace download
