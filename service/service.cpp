// The film table, slice contents, film records and catalogues.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "service/internal.h"

namespace service {
namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;
constexpr std::uint64_t S = 64 * KiB;
// Markup that would load a file, read without end or open a link if it were rendered.
const char* const kMarkup =
    "<img src=/dev/zero><img src=/tmp/zelvo-markup-probe.png><b>x</b><a "
    "href=\"http://127.0.0.1:1/\">y</a>";

std::vector<SliceSpec> slices(const std::vector<std::uint64_t>& sizes) {
  std::vector<SliceSpec> out(sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) out[i].size = sizes[i];
  return out;
}

std::vector<SliceSpec> evenSlices(std::size_t count, std::uint64_t size) {
  return slices(std::vector<std::uint64_t>(count, size));
}

// Whole copies of unit, as many as fit in n bytes (fast enough for mebibytes).
std::string repeatBytes(const std::string& unit, std::size_t n) {
  std::string out;
  out.reserve(n);
  while (out.size() + unit.size() <= n) out += unit;
  return out;
}

// n characters of a UTF-8 text, repeated as often as needed.
std::string repeatToLength(const std::string& text, std::size_t n) {
  std::string out;
  std::size_t i = 0;
  for (std::size_t points = 0; points < n; ++points) {
    std::size_t len = 1;
    while (i + len < text.size() && (static_cast<unsigned char>(text[i + len]) & 0xC0) == 0x80)
      ++len;
    out.append(text, i, len);
    i = (i + len) % text.size();
  }
  return out;
}

// Every film the service serves, demo and scenario alike: one row each, with what it does
// (as service/README.md lists it; a test holds the two together) and how it is built.
// S = 64 KiB; faults on the slice named.
struct Scenario {
  const char* id;
  const char* about;
  FilmSpec (*build)();
};

FilmSpec film(std::string name, std::vector<SliceSpec> parts) {
  FilmSpec f;
  f.name = std::move(name);
  f.slices = std::move(parts);
  return f;
}

FilmSpec demo(std::string name, std::vector<SliceSpec> parts) {
  FilmSpec f = film(std::move(name), std::move(parts));
  f.inCatalogue = true;
  return f;
}

FilmSpec faulty(std::string name, std::vector<SliceSpec> parts, std::size_t slice, Fault fault,
                int times = -1) {
  parts[slice].fault = fault;
  parts[slice].faultTimes = times;
  return film(std::move(name), std::move(parts));
}

FilmSpec raw(std::string name, std::string record, std::vector<SliceSpec> parts) {
  FilmSpec f = film(std::move(name), std::move(parts));
  f.rawRecord = std::move(record);
  return f;
}

FilmSpec refusal(std::string message) {
  FilmSpec f;
  f.message = std::move(message);
  return f;
}

FilmSpec counted(std::string name, std::vector<SliceSpec> parts, int count) {
  FilmSpec f = film(std::move(name), std::move(parts));
  f.count = count;
  return f;
}

// A first slice of 5000 bytes, which the client reports, and the answer to that report.
FilmSpec reported(std::string name, std::string answer) {
  FilmSpec f = film(std::move(name), slices({5000, 5000}));
  f.errorAnswer = std::move(answer);
  return f;
}

FilmSpec recordFaulty(FilmSpec f, Fault fault) {
  f.recordFault = fault;
  return f;
}

FilmSpec validated(std::string name, Validator validator) {
  FilmSpec f = film(std::move(name), evenSlices(3, 256 * KiB));
  f.validator = validator;
  return f;
}

// Cut after half, it must not pass for a record of one slice: the half is one, for any
// host, as each half holds "{host}" once and the tail is padded to the head's length.
FilmSpec halfRecord() {
  const std::string head = "ref|2|Felezett rekord*{host}/z/s/felezett-rekord/0";
  std::string tail = "|{host}/z/s/felezett-rekord/1?";
  tail.resize(head.size(), 'x');
  return recordFaulty(raw("Felezett rekord", head + tail, slices({S, S})), Fault::CloseEarly);
}

// Functions, not globals: the table may be read during another file's static set-up.
std::vector<SliceSpec> three() { return slices({S, S, S}); }
std::vector<SliceSpec> two() { return slices({S, S}); }
std::vector<SliceSpec> small() { return slices({16 * KiB}); }

const Scenario kScenarios[] = {
    {"egig01", "demo: 400 KiB", [] { return demo("Égigérő fa", slices({400 * KiB})); }},
    {"dzsoni02", "demo: 4 × 1 MiB",
     [] { return demo("Szegény Dzsoni és Árnika", evenSlices(4, MiB)); }},
    {"koszivu03", "demo: 8 × 3 MiB + 2 MiB",
     [] {
       auto parts = evenSlices(9, 3 * MiB);
       parts.back().size = 2 * MiB;
       return demo("A kőszívű ember fiai", parts);
     }},
    {"hahoocsi04", "demo: 2 + 2 MiB + 700 KiB",
     [] {
       return demo("Hahó, Öcsi!", slices({2 * MiB, 2 * MiB, 700 * KiB}));
     }},
    {"ludas05", "demo: 512 + 300 KiB",
     [] {
       return demo("Lúdas Matyi", slices({512 * KiB, 300 * KiB}));
     }},
    {"elutasitva", "refusal: count 0, \"A film nem található vagy törölték.\"",
     [] { return refusal("A film nem található vagy törölték."); }},
    {"kicsi-elso", "first slice 5000 bytes; own error-report answer",
     [] {
       return reported("Kicsi első szelet", "Köszönjük! A hibás filmet hamarosan kijavítjuk.");
     }},
    {"elso-9999", "two slices of 9999 bytes",
     [] {
       return film("Kilencezer-kilencszázkilencvenkilenc", slices({9999, 9999}));
     }},
    {"elso-10000", "two slices of 10000 bytes",
     [] {
       return film("Tízezer", slices({10000, 10000}));
     }},
    {"szelet-404", "slice 1 of 3 answers 404",
     [] { return faulty("Hiányzó szelet", three(), 1, Fault::NotFound); }},
    {"szelet-500", "slice 1 of 3 answers 500",
     [] { return faulty("Szerverhiba", three(), 1, Fault::ServerError); }},
    {"korai-zaras", "slice 1 of 3 announces 65536 bytes, sends half, closes",
     [] { return faulty("Korai zárás", three(), 1, Fault::CloseEarly); }},
    {"hossz-nelkul", "slice 1 of 3 without Content-Length",
     [] { return faulty("Hossz nélkül", three(), 1, Fault::NoLength); }},
    {"meret-nelkul", "slice 0 without Content-Length (size query gets none)",
     [] { return faulty("Méret nélkül", two(), 0, Fault::NoLength); }},
    {"lassu", "slice 1 sent in ten pieces, about 0.8 s",
     [] { return faulty("Lassú szelet", two(), 1, Fault::Slow); }},
    {"akad", "slice 1 stalls after half of its body",
     [] { return faulty("Akadozó szelet", two(), 1, Fault::Stall); }},
    {"akad-fejlec", "slice 1 never answers",
     [] { return faulty("Néma szelet", two(), 1, Fault::StallHeaders); }},
    {"akad-meret", "slice 0 never answers (the size query stalls)",
     [] { return faulty("Néma méret", two(), 0, Fault::StallHeaders); }},
    {"megszakad", "slice 1 reset (RST) after half of its body",
     [] { return faulty("Megszakadó szelet", two(), 1, Fault::Reset); }},
    // The size query needs only the headers, so the stall shows in the slice loop.
    {"akad-elso", "slice 0 stalls after half of its body; its size query is answered",
     [] { return faulty("Első akad", two(), 0, Fault::Stall); }},
    {"tobb-cim", "count 2 with 3 addresses", [] { return counted("Több cím", three(), 2); }},
    {"kevesebb-cim", "count 4 with 2 addresses", [] { return counted("Kevesebb cím", two(), 4); }},
    {"csillag-nelkul", "record without `*`",
     [] {
       return raw("Csillag nélkül", "{host}/z/e/zelvo/film.php?a=csillag-nelkul|1|Csillag nélkül",
                  slices({S}));
     }},
    {"ures-valasz", "empty record", [] { return raw("", "", slices({S})); }},
    {"betus-darab", "count field `abc`",
     [] {
       return raw("Betűs darabszám",
                  "{host}/z/e/zelvo/film.php?a=betus-darab|abc|Betűs darabszám*"
                  "{host}/z/s/betus-darab/0",
                  slices({S}));
     }},
    {"ket-mezo", "two fields before `*`",
     [] {
       return raw("", "{host}/z/e/zelvo/film.php?a=ket-mezo|1*{host}/z/s/ket-mezo/0", slices({S}));
     }},
    {"extra-reszek", "extra fields after the name, extra `*` parts",
     [] {
       return raw("Extra részek",
                  "{host}/z/e/zelvo/film.php?a=extra-reszek|2|Extra részek|2004|HU*"
                  "{host}/z/s/extra-reszek/0|{host}/z/s/extra-reszek/1*tartalék*rész",
                  two());
     }},
    {"negativ-darab", "count field `-2`",
     [] { return counted("Negatív darabszám", slices({S}), -2); }},
    {"felezett-rekord",
     "the record closes after half; that half is a whole record of one slice, for any host",
     halfRecord},
    {"nev-utvonal", "name `a/b\\c`", [] { return film("a/b\\c", small()); }},
    {"nev-ketpont", "name `..`", [] { return film("..", small()); }},
    {"nev-pont", "name `.`", [] { return film(".", small()); }},
    {"nev-vezerlo", "name with `\\x01` and tab",
     [] { return film("Vezérlő\x01jel\tfilm", small()); }},
    // '*' and '|' separate the record's parts and fields, so no name can carry them.
    {"nev-tiltott", "name with `: ? \" < >` (`*` and `|` would split the record)",
     [] { return film("Tiltott: ? \" < > jelek", small()); }},
    {"nev-con", "name `CON`", [] { return film("CON", small()); }},
    {"nev-hosszu", "300-character accented name",
     [] { return film(repeatToLength("Árvíztűrő tükörfúrógép ", 300), small()); }},
    {"nev-ures", "empty name", [] { return film("", small()); }},
    {"nev-feljebb", "name `../../x/..\\y` with `\\x01`",
     [] { return film("../../x/..\\y\x01", small()); }},
    {"egy-szelet", "1 × 128 KiB", [] { return film("Egyetlen szelet", slices({128 * KiB})); }},
    {"sok-szelet", "16 × S", [] { return film("Sok szelet", evenSlices(16, S)); }},
    {"ű film&x%#", "2 × S; identifier that needs percent-encoding",
     [] { return film("Kódolt azonosító", two()); }},
    {"фильм 电影", "2 × 16 KiB; identifier outside Windows-1250, addressed by its UTF-8 bytes",
     [] {
       return film("Nem latin azonosító", slices({16 * KiB, 16 * KiB}));
     }},
    // Server texts that look like markup: shown as the characters they are.
    {"jelolo-elutasitas", "refusal whose message is markup (`<img src=/dev/zero>…<a href=…>`)",
     [] { return refusal(kMarkup); }},
    {"jelolo-jelentes", "first slice 5000 bytes; the error-report answer is that markup",
     [] { return reported("Jelölő jelentés", kMarkup); }},
    {"jelolo-nev", "1 × 16 KiB; the film name is that markup",
     [] { return film(kMarkup, small()); }},
    {"hosszu-jelentes", "first slice 5000 bytes; an error-report answer of over 1 MiB",
     [] { return reported("Hosszú jelentés", repeatToLength("Hosszú jelentés. ", MiB + 1000)); }},
    {"vegtelen-rekord", "the record without length and without end",
     [] { return recordFaulty(film("Végtelen rekord", slices({S})), Fault::Endless); }},
    // Server texts of any length: what is shown of them is cut, and no name freezes the window.
    {"nev-orias", "1 × 16 KiB; a name of 15 MiB",
     [] { return film(repeatBytes("Óriás név ", 15 * MiB), small()); }},
    {"darab-orias", "2 × 16 KiB; the count field `2` behind almost 16 MiB of zeros",
     [] {
       return raw("Óriás darabszám",
                  "{host}/z/e/zelvo/film.php?a=darab-orias|" +
                      std::string(16 * MiB - 4 * KiB, '0') +
                      "2|Óriás darabszám*{host}/z/s/darab-orias/0|{host}/z/s/darab-orias/1",
                  slices({16 * KiB, 16 * KiB}));
     }},
    {"elutasitas-orias", "refusal whose message is almost 16 MiB of lines",
     [] {
       return refusal(repeatBytes("Ez a film nem érhető el, mert nagyon hosszú az indoklás.\n",
                                  16 * MiB - 4 * KiB));
     }},
    {"elutasitas-vezerlo", "refusal with ESC, BEL and CR in its message",
     [] { return refusal("Elutasítva:\x1b[31m piros\x07 csengő\r vissza\ttab\núj sor"); }},
    {"elutasitas-crlf", "refusal of three lines ending in CRLF",
     [] { return refusal("Ez a film nem érhető el.\r\nA tulajdonos kérte.\r\nBocsánat!\r\n"); }},
    {"jelentes-crlf", "first slice 5000 bytes; an error-report answer of lines ending in CRLF",
     [] { return reported("Sorvégek", "Köszönjük.\r\nA hibát rögzítettük.\r\n"); }},
    {"jelentes-majdnem", "first slice 5000 bytes; an error-report answer just under 1 MiB",
     [] { return reported("Majdnem határon", repeatToLength("Majdnem a határon. ", MiB - 1000)); }},
    {"csorgo", "slice 1 of 2 announces its length, then trickles one byte every 100 ms",
     [] { return faulty("Csörgő szelet", two(), 1, Fault::Trickle); }},
    {"csorgo-200",
     "slice 1 of 2 (1200 bytes) announces its length, then sends 20 bytes every 100 ms (200 "
     "bytes a second, 6 s)",
     [] {
       return faulty("Lassan csörgő", slices({S, 1200}), 1, Fault::Dribble);
     }},
    // Faults that pass: a retry or a resumed request gets the rest.
    {"egyszer-torik", "slice 1 of 3 reset (RST) after half of its body on its first request",
     [] { return faulty("Egyszer törik", three(), 1, Fault::Reset, 1); }},
    {"negyszer-torik", "slice 1 of 3 reset (RST) after half of its body on its first 4 requests",
     [] { return faulty("Négyszer törik", three(), 1, Fault::Reset, 4); }},
    {"foglalt-503", "slice 1 of 3 answers 503 with `Retry-After: 2` on its first request",
     [] {
       FilmSpec f = faulty("Foglalt", three(), 1, Fault::Unavailable, 1);
       f.slices[1].retryAfterSeconds = 2;
       return f;
     }},
    {"tartomany-nelkul", "ignores `Range`; slice 1 of 3 closes after half on its first request",
     [] {
       FilmSpec f = faulty("Tartomány nélkül", three(), 1, Fault::CloseEarly, 1);
       f.ignoresRanges = true;
       return f;
     }},
    {"ures-kozep", "slice 1 of 3 answers 200 with `Content-Length: 0`, always",
     [] { return faulty("Üres közép", three(), 1, Fault::Empty); }},
    {"ures-hossz-nelkul", "slice 1 of 3 answers 200 without length and body, always",
     [] { return faulty("Üres hossz nélkül", three(), 1, Fault::EmptyNoLength); }},
    {"ures-egyszer", "slice 1 of 3 answers 200 with `Content-Length: 0` on its first request",
     [] { return faulty("Egyszer üres", three(), 1, Fault::Empty, 1); }},
    {"nagy-folytatas", "4 × 1 MiB, for resuming",
     [] { return film("Nagy folytatás", evenSlices(4, MiB)); }},
    // Answers that must neither pass for a whole film nor cost bytes that arrived.
    {"foglalt-meret",
     "slice 0 of 2 answers 503 (no Retry-After) on its first request: the size query",
     [] {
       FilmSpec f = faulty("Foglalt méret", two(), 0, Fault::Unavailable, 1);
       f.slices[0].retryAfterSeconds = 0;
       return f;
     }},
    {"vege-torik", "slice 1 of 3, without length, resets after its last byte on its first request",
     [] { return faulty("Vége törik", three(), 1, Fault::ResetAtEnd, 1); }},
    {"fel-206", "slice 1 of 3 answers a plain GET with `206` and its first half, always",
     [] { return faulty("Fél 206", three(), 1, Fault::HalfPartial); }},
    {"valtozo-hossz",
     "slice 1 of 3 closes after half on its first request; later it is S + 1000 other bytes",
     [] {
       FilmSpec f = faulty("Változó hossz", three(), 1, Fault::CloseEarly, 1);
       f.slices[1].changeAfter = 1;
       f.slices[1].changedSize = S + 1000;
       return f;
     }},
    {"cimkes", "3 × 256 KiB with an `ETag`, for resuming",
     [] { return validated("Címkés", Validator::ETag); }},
    {"datumos", "3 × 256 KiB with a `Last-Modified`, for resuming",
     [] { return validated("Dátumos", Validator::LastModified); }},
    {"tartomany-nelkul-valtozo", "ignores `Range`; slice 1 of 3 closes after half on its first request, then is another version of itself",
     [] {
       FilmSpec f = faulty("Tartomány nélkül változó", three(), 1, Fault::CloseEarly, 1);
       f.ignoresRanges = true;
       f.slices[1].changeAfter = 1;
       return f;
     }},
    {"tartomany-nelkul-cimkes", "ignores `Range`, with an `ETag`; slice 1 of 3 closes after half on its first request",
     [] {
       FilmSpec f = faulty("Tartomány nélkül címkés", three(), 1, Fault::CloseEarly, 1);
       f.ignoresRanges = true;
       f.validator = Validator::ETag;
       return f;
     }},
    {"gyenge-cimke-torik", "weak `ETag`s; slice 1 of 3 reset (RST) after half of its body on its first request",
     [] {
       FilmSpec f = faulty("Gyenge címke törik", three(), 1, Fault::Reset, 1);
       f.validator = Validator::WeakETag;
       return f;
     }},
    {"cimkes-vege-torik", "an `ETag`; slice 1 of 3, without length, resets after its last byte on its first request",
     [] {
       FilmSpec f = faulty("Címkés vége törik", three(), 1, Fault::ResetAtEnd, 1);
       f.validator = Validator::ETag;
       return f;
     }},
    {"nagy-torik", "4 × 1 MiB; slice 1 reset (RST) after half of its body on its first request",
     [] { return faulty("Nagy törik", evenSlices(4, MiB), 1, Fault::Reset, 1); }},
    {"gyenge-cimkes", "3 × 256 KiB with weak `ETag`s, for resuming",
     [] { return validated("Gyenge címkés", Validator::WeakETag); }},
    {"friss-datumos", "3 × 256 KiB with a `Last-Modified` 10 s before its `Date`, for resuming",
     [] { return validated("Friss dátumos", Validator::FreshLastModified); }},
    // Films the stop tests end the program in: the slow slice gives the stop time to land.
    {"allj", "3 × 300000 bytes, slice 1 sent slowly: a stop lands in it",
     [] {
       return faulty("Film", slices({300000, 300000, 300000}), 1, Fault::Slow);
     }},
    {"pillanat", "2 × 200000 bytes, slice 1 sent slowly: a stop lands in it",
     [] {
       return faulty("Pillanat", slices({200000, 200000}), 1, Fault::Slow);
     }},
    {"megallit", "3 × 200000 bytes, slice 1 sent slowly: a stop lands in it",
     [] {
       return faulty("Megállít", slices({200000, 200000, 200000}), 1, Fault::Slow);
     }},
    {"megallj", "12800 + 12800 + 6400 bytes, a referrer of over 120 bytes: stopped at every point",
     [] {
       FilmSpec f = film("Megállj", slices({12800, 12800, 6400}));
       f.referrer = "{host}/z/e/zelvo/film.php?a=megallj&" + std::string(120, 'r');
       return f;
     }},
};

std::vector<FilmSpec> buildFilms() {
  std::vector<FilmSpec> v;
  for (const Scenario& s : kScenarios) {
    v.push_back(s.build());
    v.back().id = s.id;
    v.back().about = s.about;
  }
  return v;
}

// A million short catalogue rows, about 70 MB.
std::string millionRows(const std::string& host) {
  std::string text;
  text.reserve(75u * 1000 * 1000);
  const std::string address = host + "/z/e/zelvo/basix2.php?a=f";
  for (int n = 1; n <= 1000000; ++n) {
    const std::string number = std::to_string(n);
    text += number + "\tf" + number + "\tFilm " + number + "\t" + address + number + "\n";
  }
  return text;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size()))
    text.replace(pos, from.size(), to);
  return text;
}

std::string defaultReferrer(const std::string& host, const std::string& id) {
  return host + "/z/e/zelvo/film.php?a=" + detail::percentEncode(id);
}

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ull;

}  // namespace

std::optional<std::string> LoggedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < key.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(key[i])) ==
             std::tolower(static_cast<unsigned char>(name[i]));
    if (same) return value;
  }
  return std::nullopt;
}

FilmSpec makeFilm(std::string id, std::string name, const std::vector<std::uint64_t>& sliceSizes) {
  FilmSpec f = film(std::move(name), slices(sliceSizes));
  f.id = std::move(id);
  return f;
}

const std::vector<FilmSpec>& films() {
  static const std::vector<FilmSpec> table = buildFilms();
  return table;
}

const FilmSpec* findFilm(const std::string& id) {
  for (const FilmSpec& f : films())
    if (f.id == id) return &f;
  return nullptr;
}

std::string sliceContent(const FilmSpec& film, std::size_t slice, bool changed) {
  if (slice >= film.slices.size()) return {};
  const SliceSpec& setup = film.slices[slice];
  std::string out(changed && setup.changedSize ? setup.changedSize : setup.size, '\0');
  detail::fillSliceBytes(detail::sliceSeed(film, slice, changed), 0, out.data(), out.size());
  return out;
}

std::string filmContent(const FilmSpec& film) {
  std::string out;
  for (std::size_t i = 0; i < film.slices.size(); ++i) out += sliceContent(film, i);
  return out;
}

std::string sliceAddress(const std::string& host, const FilmSpec& film, std::size_t slice) {
  const std::string& own = slice < film.slices.size() ? film.slices[slice].host : std::string();
  return (own.empty() ? host : own) + "/z/s/" + detail::percentEncode(film.id) + "/" +
         std::to_string(slice);
}

std::string demoCatalogue(const std::string& host) {
  std::string text;
  int row = 0;
  for (const FilmSpec& f : films()) {
    if (!f.inCatalogue) continue;
    if (row > 0) text += "\n";
    text += std::to_string(++row) + "\t" + f.id + "\t" + f.name + "\t" + host +
            "/z/e/zelvo/basix2.php?a=" + detail::percentEncode(f.id);
  }
  return detail::toCp1250(text);
}

std::optional<CatalogueScenario> catalogueScenario(const std::string& name,
                                                   const std::string& host) {
  if (name == "demo") return CatalogueScenario{demoCatalogue(host)};
  if (name == "millio") return CatalogueScenario{millionRows(host)};
  if (name == "tizmillio") return CatalogueScenario{millionRows(host), 10};
  if (name == "vegtelen") return CatalogueScenario{millionRows(host), 1, true};
  if (name == "egysoros")
    return CatalogueScenario{"1\tegysor\tEgyetlen sor " + std::string(128 * MiB - KiB, 'x')};
  if (name == "hiba-500")
    return CatalogueScenario{"<html><body>\n1\thiba\tBels\xf5 hiba\t\n</body></html>\n", 1, false,
                             500};
  return std::nullopt;
}

std::string catalogueWithShortRows() {
  return detail::toCp1250(
      "1\tegig01\tÉgigérő fa\r\n"
      "2\tcsonka\r\n"
      "3\tdzsoni02\tSzegény Dzsoni és Árnika\r\n"
      "4\r\n"
      "5\tkoszivu03\tA kőszívű ember fiai\r\n");
}

namespace detail {

std::vector<std::string> wireIdReadings(const std::string& decodedBytes) {
  std::vector<std::string> out = {fromCp1250(decodedBytes)};
  if (isValidUtf8(decodedBytes)) out.push_back(decodedBytes);
  return out;
}

const FilmSpec* findFilmByWireId(const std::string& decodedBytes) {
  for (const std::string& id : wireIdReadings(decodedBytes))
    if (const FilmSpec* f = findFilm(id)) return f;
  return nullptr;
}

std::string wireIdText(const std::string& decodedBytes) {
  bool ascii = true;
  for (unsigned char c : decodedBytes) ascii = ascii && c < 0x80;
  // Windows-1250 Hungarian text is almost never valid UTF-8, so valid UTF-8 with
  // letters above ASCII was typed raw.
  if (!ascii && isValidUtf8(decodedBytes)) return decodedBytes;
  return fromCp1250(decodedBytes);
}

std::uint64_t sliceSeed(const FilmSpec& film, std::size_t slice, bool changed) {
  // Versions other than the first (empty) one, and changed slices, get bytes of their own.
  const std::string name = film.version.empty() ? film.id : film.id + '\x1f' + film.version;
  return mix(fnv1a(name) + (slice + 1) * kGolden) ^ (changed ? kGolden : 0);
}

std::string validatorHeader(const FilmSpec& film, std::size_t slice, bool changed) {
  const std::uint64_t h = sliceSeed(film, slice, changed);
  const auto httpDate = [](std::time_t when) {
    std::tm tm{};
    gmtime_r(&when, &tm);
    char date[64];
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(date);
  };
  // A second of 2025 named by the version: long before any answer's Date.
  const std::time_t modified = std::time_t(1735689600 + h % (365u * 86400));
  std::string date = "Date: " + httpDate(std::time(nullptr)) + "\r\n";
  char tag[32];
  std::snprintf(tag, sizeof tag, "\"%016llx\"", static_cast<unsigned long long>(h));
  switch (film.validator) {
    case Validator::None: return date;
    case Validator::ETag: return date + "ETag: " + tag + "\r\n";
    case Validator::WeakETag: return date + "ETag: W/" + tag + "\r\n";
    case Validator::LastModified: return date + "Last-Modified: " + httpDate(modified) + "\r\n";
    case Validator::FreshLastModified:
      return "Date: " + httpDate(modified + 10) + "\r\nLast-Modified: " + httpDate(modified) +
             "\r\n";
  }
  return date;
}

void fillSliceBytes(std::uint64_t seed, std::uint64_t offset, char* out, std::size_t n) {
  // Every 8-byte block is mix(seed + block index), so any offset starts cheaply.
  std::uint64_t block = offset / 8;
  std::size_t skip = offset % 8;
  while (n > 0) {
    std::uint64_t word = mix(seed + block * kGolden);
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(word >> (8 * i));
    std::size_t take = std::min<std::size_t>(8 - skip, n);
    std::memcpy(out, bytes + skip, take);
    out += take;
    n -= take;
    skip = 0;
    ++block;
  }
}

std::string recordReply(const std::string& host, const FilmSpec& film) {
  if (film.rawRecord) return toCp1250(replaceAll(*film.rawRecord, "{host}", host));
  std::string referrer = film.referrer.empty() ? defaultReferrer(host, film.id)
                                               : replaceAll(film.referrer, "{host}", host);
  bool refusal = !film.message.empty();
  int count = film.count.value_or(refusal ? 0 : static_cast<int>(film.slices.size()));
  std::string text =
      referrer + "|" + std::to_string(count) + "|" + (refusal ? film.message : film.name) + "*";
  for (std::size_t i = 0; i < film.slices.size(); ++i) {
    if (i > 0) text += "|";
    text += sliceAddress(host, film, i);
  }
  return toCp1250(text);
}

std::string refusalReply(const std::string& host, const std::string& idText) {
  return toCp1250(defaultReferrer(host, idText) + "|0|Nincs ilyen film: " + idText + "*");
}

}  // namespace detail
}  // namespace service
