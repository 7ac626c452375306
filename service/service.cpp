// The film table, slice contents, film records and catalogues.
//
// Demo films (listed in the catalogue):
//   egig01        Égigérő fa                 1 slice of 400 KiB
//   dzsoni02      Szegény Dzsoni és Árnika   4 slices of 1 MiB
//   koszivu03     A kőszívű ember fiai       8 slices of 3 MiB + 2 MiB (26 MiB)
//   hahoocsi04    Hahó, Öcsi!                2 MiB, 2 MiB, 700 KiB
//   ludas05       Lúdas Matyi                512 KiB, 300 KiB
//
// Scenario films (not listed; S = 64 KiB):
//   elutasitva      refusal: count 0, "A film nem található vagy törölték."
//   kicsi-elso      first slice 5000 bytes (client reports an error); own errorAnswer
//   elso-9999       slices 9999, 9999
//   elso-10000      slices 10000, 10000
//   szelet-404      S, S answering 404, S
//   szelet-500      S, S answering 500, S
//   korai-zaras     S, S announcing its length but closing after half, S
//   hossz-nelkul    S, S without Content-Length, S
//   meret-nelkul    slice 0 without Content-Length (size query gets none), S
//   lassu           S, S sent slowly (about 0.8 s)
//   akad            S, S stalling after half of its body
//   akad-fejlec     S, S never answering
//   akad-meret      slice 0 never answering (the size query stalls), S
//   megszakad       S, S reset after half of its body
//   akad-elso       S stalling after half of its body (its size query is answered), S
//   tobb-cim        3 addresses, count 2
//   kevesebb-cim    2 addresses, count 4
//   csillag-nelkul  record without '*'
//   ures-valasz     empty record reply
//   betus-darab     count field "abc"
//   ket-mezo        only two fields before '*'
//   extra-reszek    extra fields after the name and extra '*' parts
//   negativ-darab   count field -2
//   felezett-rekord record closing after half; that half is a whole record of one slice
//   nev-utvonal     name "a/b\c"
//   nev-ketpont     name ".."
//   nev-pont        name "."
//   nev-vezerlo     name with \x01 and a tab
//   nev-tiltott     name with : ? " < >
//   nev-con         name "CON"
//   nev-hosszu      name of 300 characters, most of them accented
//   nev-ures        empty name
//   nev-feljebb     name "../../x/..\y" and \x01
//   egy-szelet      1 slice of 128 KiB
//   sok-szelet      16 slices of S
//   "ű film&x%#"    S, S; an identifier that needs percent-encoding
//   "фильм 电影"    16 KiB, 16 KiB; an identifier outside Windows-1250 (sent as UTF-8)
//   jelolo-elutasitas  refusal whose message is markup
//   jelolo-jelentes    first slice 5000 bytes; the error-report answer is markup
//   jelolo-nev         a film whose name is markup
//   vegtelen-rekord    a record reply without length and without end
//   hosszu-jelentes    first slice 5000 bytes; an error-report answer over 1 MiB
//   nev-orias          a name of 15 MiB
//   elutasitas-orias   refusal whose message is almost 16 MiB of lines
//   elutasitas-vezerlo refusal with ESC, BEL and CR in its message
//   jelentes-majdnem   first slice 5000 bytes; an error-report answer just under 1 MiB
//   csorgo             S, S trickling one byte every 100 ms
//   csorgo-200         S, 1200 bytes sent 20 bytes every 100 ms: slow (6 s), not stalled
//   egyszer-torik      S, S reset after half of its body on its first request only, S
//   negyszer-torik     S, S reset after half of its body on its first 4 requests, S
//   foglalt-503        S, S answering 503 with Retry-After: 2 on its first request only, S
//   tartomany-nelkul   Range ignored; S, S closing after half on its first request only, S
//   ures-kozep         S, S answering 200 with Content-Length: 0, S
//   ures-hossz-nelkul  S, S answering 200 without length and without body, S
//   ures-egyszer       S, S answering 200 with Content-Length: 0 on its first request only, S
//   nagy-folytatas     4 slices of 1 MiB, for resuming
//   foglalt-meret      S answering 503 (no Retry-After) on its first request, the size query; S
//   vege-torik         S, S without length reset after its last byte on its first request, S
//   fel-206            S, S answering a plain GET with 206 and its first half, S
//   valtozo-hossz      S, S closing after half on its first request, then S + 1000 other bytes, S
//   cimkes / datumos   3 slices of 256 KiB with an ETag / a Last-Modified, for resuming
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

FilmSpec film(std::string id, std::string name, std::vector<SliceSpec> parts) {
  FilmSpec f;
  f.id = std::move(id);
  f.name = std::move(name);
  f.slices = std::move(parts);
  return f;
}

FilmSpec faulty(std::string id, std::string name, std::vector<SliceSpec> parts, std::size_t slice,
                Fault fault, int times = -1) {
  parts[slice].fault = fault;
  parts[slice].faultTimes = times;
  return film(std::move(id), std::move(name), std::move(parts));
}

FilmSpec raw(std::string id, std::string name, std::string record, std::vector<SliceSpec> parts) {
  FilmSpec f = film(std::move(id), std::move(name), std::move(parts));
  f.rawRecord = std::move(record);
  return f;
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

std::vector<FilmSpec> buildFilms() {
  std::vector<FilmSpec> v;
  auto demo = [&v](FilmSpec f) {
    f.inCatalogue = true;
    v.push_back(std::move(f));
  };
  demo(film("egig01", "Égigérő fa", slices({400 * KiB})));
  demo(film("dzsoni02", "Szegény Dzsoni és Árnika", evenSlices(4, MiB)));
  {
    auto parts = evenSlices(9, 3 * MiB);
    parts.back().size = 2 * MiB;
    demo(film("koszivu03", "A kőszívű ember fiai", parts));
  }
  demo(film("hahoocsi04", "Hahó, Öcsi!", slices({2 * MiB, 2 * MiB, 700 * KiB})));
  demo(film("ludas05", "Lúdas Matyi", slices({512 * KiB, 300 * KiB})));

  {
    FilmSpec f = film("elutasitva", "", {});
    f.message = "A film nem található vagy törölték.";
    v.push_back(f);
  }
  {
    FilmSpec f = film("kicsi-elso", "Kicsi első szelet", slices({5000, 5000}));
    f.errorAnswer = "Köszönjük! A hibás filmet hamarosan kijavítjuk.";
    v.push_back(f);
  }
  v.push_back(film("elso-9999", "Kilencezer-kilencszázkilencvenkilenc", slices({9999, 9999})));
  v.push_back(film("elso-10000", "Tízezer", slices({10000, 10000})));
  v.push_back(faulty("szelet-404", "Hiányzó szelet", slices({S, S, S}), 1, Fault::NotFound));
  v.push_back(faulty("szelet-500", "Szerverhiba", slices({S, S, S}), 1, Fault::ServerError));
  v.push_back(faulty("korai-zaras", "Korai zárás", slices({S, S, S}), 1, Fault::CloseEarly));
  v.push_back(faulty("hossz-nelkul", "Hossz nélkül", slices({S, S, S}), 1, Fault::NoLength));
  v.push_back(faulty("meret-nelkul", "Méret nélkül", slices({S, S}), 0, Fault::NoLength));
  v.push_back(faulty("lassu", "Lassú szelet", slices({S, S}), 1, Fault::Slow));
  v.push_back(faulty("akad", "Akadozó szelet", slices({S, S}), 1, Fault::Stall));
  v.push_back(faulty("akad-fejlec", "Néma szelet", slices({S, S}), 1, Fault::StallHeaders));
  v.push_back(faulty("akad-meret", "Néma méret", slices({S, S}), 0, Fault::StallHeaders));
  v.push_back(faulty("megszakad", "Megszakadó szelet", slices({S, S}), 1, Fault::Reset));
  // The size query needs only the headers, so the stall shows in the slice loop.
  v.push_back(faulty("akad-elso", "Első akad", slices({S, S}), 0, Fault::Stall));
  {
    FilmSpec f = film("tobb-cim", "Több cím", slices({S, S, S}));
    f.count = 2;
    v.push_back(f);
  }
  {
    FilmSpec f = film("kevesebb-cim", "Kevesebb cím", slices({S, S}));
    f.count = 4;
    v.push_back(f);
  }
  v.push_back(raw("csillag-nelkul", "Csillag nélkül",
                  "{host}/z/e/zelvo/film.php?a=csillag-nelkul|1|Csillag nélkül", slices({S})));
  v.push_back(raw("ures-valasz", "", "", slices({S})));
  v.push_back(raw("betus-darab", "Betűs darabszám",
                  "{host}/z/e/zelvo/film.php?a=betus-darab|abc|Betűs darabszám*"
                  "{host}/z/s/betus-darab/0",
                  slices({S})));
  v.push_back(raw("ket-mezo", "", "{host}/z/e/zelvo/film.php?a=ket-mezo|1*{host}/z/s/ket-mezo/0",
                  slices({S})));
  v.push_back(raw("extra-reszek", "Extra részek",
                  "{host}/z/e/zelvo/film.php?a=extra-reszek|2|Extra részek|2004|HU*"
                  "{host}/z/s/extra-reszek/0|{host}/z/s/extra-reszek/1*tartalék*rész",
                  slices({S, S})));
  {
    FilmSpec f = film("negativ-darab", "Negatív darabszám", slices({S}));
    f.count = -2;
    v.push_back(f);
  }
  {
    // Cut after half, it must not pass for a record of one slice: the half is one, for any
    // host, as each half holds "{host}" once and the tail is padded to the head's length.
    const std::string head = "ref|2|Felezett rekord*{host}/z/s/felezett-rekord/0";
    std::string tail = "|{host}/z/s/felezett-rekord/1?";
    tail.resize(head.size(), 'x');
    FilmSpec f = raw("felezett-rekord", "Felezett rekord", head + tail, slices({S, S}));
    f.recordFault = Fault::CloseEarly;
    v.push_back(f);
  }

  v.push_back(film("nev-utvonal", "a/b\\c", slices({16 * KiB})));
  v.push_back(film("nev-ketpont", "..", slices({16 * KiB})));
  v.push_back(film("nev-pont", ".", slices({16 * KiB})));
  v.push_back(film("nev-vezerlo", "Vezérlő\x01jel\tfilm", slices({16 * KiB})));
  // '*' and '|' separate the record's parts and fields, so no name can carry them.
  v.push_back(film("nev-tiltott", "Tiltott: ? \" < > jelek", slices({16 * KiB})));
  v.push_back(film("nev-con", "CON", slices({16 * KiB})));
  v.push_back(
      film("nev-hosszu", repeatToLength("Árvíztűrő tükörfúrógép ", 300), slices({16 * KiB})));
  v.push_back(film("nev-ures", "", slices({16 * KiB})));
  v.push_back(film("nev-feljebb", "../../x/..\\y\x01", slices({16 * KiB})));
  v.push_back(film("egy-szelet", "Egyetlen szelet", slices({128 * KiB})));
  v.push_back(film("sok-szelet", "Sok szelet", evenSlices(16, S)));
  v.push_back(film("ű film&x%#", "Kódolt azonosító", slices({S, S})));
  v.push_back(film("фильм 电影", "Nem latin azonosító", slices({16 * KiB, 16 * KiB})));

  // Server texts that look like markup: shown as the characters they are.
  {
    FilmSpec f = film("jelolo-elutasitas", "", {});
    f.message = kMarkup;
    v.push_back(f);
  }
  {
    FilmSpec f = film("jelolo-jelentes", "Jelölő jelentés", slices({5000, 5000}));
    f.errorAnswer = kMarkup;
    v.push_back(f);
  }
  v.push_back(film("jelolo-nev", kMarkup, slices({16 * KiB})));
  {
    FilmSpec f = film("vegtelen-rekord", "Végtelen rekord", slices({S}));
    f.recordFault = Fault::Endless;
    v.push_back(f);
  }
  {
    FilmSpec f = film("hosszu-jelentes", "Hosszú jelentés", slices({5000, 5000}));
    f.errorAnswer = repeatToLength("Hosszú jelentés. ", 1024 * 1024 + 1000);
    v.push_back(f);
  }
  // Server texts of any length: what is shown of them is cut, and no name freezes the window.
  v.push_back(film("nev-orias", repeatBytes("Óriás név ", 15 * MiB), slices({16 * KiB})));
  {
    FilmSpec f = film("elutasitas-orias", "", {});
    f.message = repeatBytes("Ez a film nem érhető el, mert nagyon hosszú az indoklás.\n",
                            16 * MiB - 4 * KiB);
    v.push_back(f);
  }
  {
    FilmSpec f = film("elutasitas-vezerlo", "", {});
    f.message = "Elutasítva:\x1b[31m piros\x07 csengő\r vissza\ttab\núj sor";
    v.push_back(f);
  }
  {
    FilmSpec f = film("jelentes-majdnem", "Majdnem határon", slices({5000, 5000}));
    f.errorAnswer = repeatToLength("Majdnem a határon. ", 1024 * 1024 - 1000);
    v.push_back(f);
  }
  v.push_back(faulty("csorgo", "Csörgő szelet", slices({S, S}), 1, Fault::Trickle));
  v.push_back(faulty("csorgo-200", "Lassan csörgő", slices({S, 1200}), 1, Fault::Dribble));

  // Faults that pass: a retry or a resumed request gets the rest.
  v.push_back(faulty("egyszer-torik", "Egyszer törik", slices({S, S, S}), 1, Fault::Reset, 1));
  v.push_back(faulty("negyszer-torik", "Négyszer törik", slices({S, S, S}), 1, Fault::Reset, 4));
  {
    FilmSpec f = faulty("foglalt-503", "Foglalt", slices({S, S, S}), 1, Fault::Unavailable, 1);
    f.slices[1].retryAfterSeconds = 2;
    v.push_back(f);
  }
  {
    FilmSpec f =
        faulty("tartomany-nelkul", "Tartomány nélkül", slices({S, S, S}), 1, Fault::CloseEarly, 1);
    f.ignoresRanges = true;
    v.push_back(f);
  }
  v.push_back(faulty("ures-kozep", "Üres közép", slices({S, S, S}), 1, Fault::Empty));
  v.push_back(
      faulty("ures-hossz-nelkul", "Üres hossz nélkül", slices({S, S, S}), 1, Fault::EmptyNoLength));
  v.push_back(faulty("ures-egyszer", "Egyszer üres", slices({S, S, S}), 1, Fault::Empty, 1));
  v.push_back(film("nagy-folytatas", "Nagy folytatás", evenSlices(4, MiB)));

  // Answers that must neither pass for a whole film nor cost bytes that arrived.
  {
    FilmSpec f = faulty("foglalt-meret", "Foglalt méret", slices({S, S}), 0, Fault::Unavailable, 1);
    f.slices[0].retryAfterSeconds = 0;
    v.push_back(f);
  }
  v.push_back(faulty("vege-torik", "Vége törik", slices({S, S, S}), 1, Fault::ResetAtEnd, 1));
  v.push_back(faulty("fel-206", "Fél 206", slices({S, S, S}), 1, Fault::HalfPartial));
  {
    FilmSpec f =
        faulty("valtozo-hossz", "Változó hossz", slices({S, S, S}), 1, Fault::CloseEarly, 1);
    f.slices[1].changeAfter = 1;
    f.slices[1].changedSize = S + 1000;
    v.push_back(f);
  }
  {
    FilmSpec f = film("cimkes", "Címkés", evenSlices(3, 256 * KiB));
    f.validator = Validator::ETag;
    v.push_back(f);
  }
  {
    FilmSpec f = film("datumos", "Dátumos", evenSlices(3, 256 * KiB));
    f.validator = Validator::LastModified;
    v.push_back(f);
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
  return film(std::move(id), std::move(name), slices(sliceSizes));
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
  const SliceSpec& spec = film.slices[slice];
  std::string out(changed && spec.changedSize ? spec.changedSize : spec.size, '\0');
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
  if (film.validator == Validator::ETag) {
    char tag[32];
    std::snprintf(tag, sizeof tag, "\"%016llx\"", static_cast<unsigned long long>(h));
    return std::string("ETag: ") + tag + "\r\n";
  }
  if (film.validator != Validator::LastModified) return {};
  // A second of 2026 named by the version.
  const std::time_t when = std::time_t(1767225600 + h % (365u * 86400));
  std::tm tm{};
  gmtime_r(&when, &tm);
  char date[64];
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return std::string("Last-Modified: ") + date + "\r\n";
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
