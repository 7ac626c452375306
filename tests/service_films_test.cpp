// The service's film table, slice contents and text conversions, without sockets.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "service/internal.h"
#include "service/service.h"

namespace {

using namespace service;

// A file of the source tree, whole; empty when it cannot be read.
std::string sourceFile(const std::string& path) {
  std::ifstream in(std::string(ZELVO_SOURCE_DIR) + "/" + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t codePoints(const std::string& utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

TEST(ServiceFilms, IdentifiersAreUniqueAndFindable) {
  std::set<std::string> ids;
  for (const FilmSpec& f : films()) {
    EXPECT_TRUE(ids.insert(f.id).second) << f.id;
    EXPECT_EQ(findFilm(f.id), &f);
  }
  EXPECT_EQ(findFilm("nincs-ilyen"), nullptr);
}

TEST(ServiceFilms, DemoCatalogueStaysWithinBenchmarkSizes) {
  std::size_t demo = 0;
  std::uint64_t largest = 0;
  for (const FilmSpec& f : films()) {
    if (!f.inCatalogue) continue;
    ++demo;
    std::uint64_t total = 0;
    for (const SliceSpec& s : f.slices) {
      EXPECT_EQ(s.fault, Fault::None) << f.id;
      total += s.size;
    }
    largest = std::max(largest, total);
  }
  EXPECT_GE(demo, 4u);
  EXPECT_LE(demo, 6u);
  EXPECT_GE(largest, 24u << 20);
  EXPECT_LE(largest, 32u << 20);
}

TEST(ServiceFilms, LongNameHasThreeHundredCharacters) {
  EXPECT_EQ(codePoints(findFilm("nev-hosszu")->name), 300u);
}

TEST(ServiceFilms, SliceContentIsDeterministicAndDistinct) {
  const FilmSpec& many = *findFilm("sok-szelet");
  const FilmSpec& other = *findFilm("egy-szelet");
  std::string first = sliceContent(many, 0);
  EXPECT_EQ(first.size(), many.slices[0].size);
  EXPECT_TRUE(first == sliceContent(many, 0));
  EXPECT_FALSE(first == sliceContent(many, 1));
  EXPECT_FALSE(first.substr(0, 4096) == sliceContent(other, 0).substr(0, 4096));
  EXPECT_TRUE(sliceContent(many, many.slices.size()).empty());

  std::string whole = filmContent(many);
  ASSERT_EQ(whole.size(), 16u * 65536u);
  EXPECT_TRUE(whole.substr(15 * 65536) == sliceContent(many, 15));
  // Not a run of one repeated byte.
  EXPECT_GT(std::set<char>(first.begin(), first.end()).size(), 200u);
  // The bytes a text mode would mangle are there to be mangled.
  for (char c : {'\0', '\r', '\n', '\x1a'}) EXPECT_NE(first.find(c), std::string::npos) << int(c);
}

TEST(ServiceFilms, AnyRangeOfASliceMatchesTheWholeSlice) {
  const FilmSpec& film = *findFilm("egy-szelet");
  const std::string whole = sliceContent(film, 0);
  const std::uint64_t seed = detail::sliceSeed(film, 0);
  struct Range {
    std::uint64_t offset;
    std::size_t n;
  } ranges[] = {{0, 1}, {3, 5}, {7, 1}, {7, 2}, {8, 8}, {13, 100}, {65531, 13}, {131071, 1}};
  for (const Range& r : ranges) {
    std::string part(r.n, '\0');
    detail::fillSliceBytes(seed, r.offset, part.data(), r.n);
    EXPECT_TRUE(part == whole.substr(r.offset, r.n)) << r.offset << "+" << r.n;
  }
}

TEST(ServiceText, Windows1250Conversion) {
  EXPECT_EQ(detail::toCp1250("ő"), "\xF5");
  EXPECT_EQ(detail::toCp1250("Ű€"), "\xDB\x80");
  EXPECT_EQ(detail::toCp1250("aжb"), "a?b");
  EXPECT_EQ(detail::toCp1250("a\x01\tb"), "a\x01\tb");
  EXPECT_EQ(detail::fromCp1250("\xE1rv\xEDzt\xFBr\xF5"), "árvíztűrő");
  EXPECT_EQ(detail::fromCp1250("a\x81"), "a\xEF\xBF\xBD");
  const std::string alphabet = "aáeéiíoóöőuúüűAÁEÉIÍOÓÖŐUÚÜŰ";
  EXPECT_EQ(detail::fromCp1250(detail::toCp1250(alphabet)), alphabet);
}

TEST(ServiceText, PercentEncoding) {
  EXPECT_EQ(detail::percentEncode("ű film&x%#"), "%FB%20film%26x%25%23");
  EXPECT_EQ(detail::percentEncode("a-b.c_d~e09"), "a-b.c_d~e09");
  EXPECT_EQ(detail::percentEncode("a+b/c"), "a%2Bb%2Fc");
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"%FB%20a", "\xFB a"}, {"%fb", "\xFB"}, {"a+b", "a+b"},   {"%G1", "%G1"},
               {"x%4", "x%4"},        {"%", "%"},      {"100%", "100%"}, {"%%41", "%A"}};
  for (const Case& c : cases) EXPECT_EQ(detail::percentDecode(c.in), c.out) << c.in;
}

TEST(ServiceText, WireIdentifiersAreReadAsWindows1250OrUtf8) {
  const FilmSpec* encoded = findFilm("ű film&x%#");
  EXPECT_EQ(detail::findFilmByWireId("\xFB film&x%#"), encoded);
  EXPECT_EQ(detail::findFilmByWireId("ű film&x%#"), encoded);
  EXPECT_EQ(detail::findFilmByWireId("\xFB"), nullptr);
  EXPECT_EQ(detail::wireIdText("\xE1"), "á");
  EXPECT_EQ(detail::wireIdText("á"), "á");
}

TEST(ServiceCatalogue, ShortRowsCatalogueHasTheAwkwardRows) {
  const std::string text = catalogueWithShortRows();
  EXPECT_NE(text.find("\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");  // so the last row is empty
  EXPECT_NE(text.find("\n2\tcsonka\r\n"), std::string::npos);
  EXPECT_NE(text.find("\n4\r\n"), std::string::npos);
  EXPECT_NE(text.find("\xC9gig\xE9r\xF5 fa"), std::string::npos);
}

TEST(ServiceRecords, HalfRecordIsAWholeRecordOfOneSliceWhateverTheHost) {
  const FilmSpec& film = *findFilm("felezett-rekord");
  for (const char* host :
       {"h:1", "127.0.0.1:80", "127.0.0.1:65535", "nagyon-hosszu-nev.example:8080"}) {
    const std::string text = detail::recordReply(host, film);
    EXPECT_EQ(text.substr(0, text.size() / 2),
              "ref|2|Felezett rekord*" + sliceAddress(host, film, 0))
        << host;
  }
}

// Every scenario film is started through the client by some test: its identifier stands
// quoted in one of the tests that drive the window.
TEST(ServiceFilms, EveryScenarioIsDrivenThroughTheClient) {
  std::string sources;
  for (const char* name : {"film_download_test.cpp", "commands_test.cpp", "fault_network_test.cpp",
                           "fault_disk_test.cpp", "fault_input_test.cpp", "fault_nested_test.cpp",
                           "fault_stop_test.cpp", "stop_test.cpp"}) {
    const std::string text = sourceFile(std::string("tests/") + name);
    ASSERT_FALSE(text.empty()) << name;
    sources += text;
  }
  std::string undriven;
  for (const FilmSpec& f : films())
    if (!f.inCatalogue && sources.find('"' + f.id + '"') == std::string::npos)
      undriven += " \"" + f.id + "\"";
  EXPECT_EQ(undriven, "") << "scenario films no client test starts";
}

// The README's film table says what the service's own table says, row for row.
TEST(ServiceFilms, ReadmeListsEveryFilmAsTheTableDoes) {
  const std::string readme = sourceFile("service/README.md");
  ASSERT_NE(readme.find("## Films"), std::string::npos);
  std::map<std::string, std::string> listed;  // id -> behaviour, "\\|" read as '|'
  std::istringstream lines(readme.substr(readme.find("## Films")));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("| `", 0) != 0) continue;
    const std::size_t idEnd = line.find("` | ");
    ASSERT_NE(idEnd, std::string::npos) << line;
    std::string about = line.substr(idEnd + 4, line.size() - idEnd - 6);
    for (std::size_t at; (at = about.find("\\|")) != std::string::npos;) about.erase(at, 1);
    listed[line.substr(3, idEnd - 3)] = about;
  }
  std::string wrong;
  for (const FilmSpec& f : films()) {
    auto it = listed.find(f.id);
    if (it == listed.end())
      wrong += "\nmissing: " + f.id;
    else if (it->second != f.about)
      wrong += "\n" + f.id + ": \"" + it->second + "\" instead of \"" + f.about + "\"";
    if (it != listed.end()) listed.erase(it);
  }
  for (const auto& [id, about] : listed) wrong += "\nno such film: " + id;
  EXPECT_EQ(wrong, "");
}

TEST(ServiceRecords, AddressesEncodeTheIdentifier) {
  const FilmSpec& film = *findFilm("ű film&x%#");
  EXPECT_EQ(sliceAddress("h:1", film, 1), "h:1/z/s/%FB%20film%26x%25%23/1");
  EXPECT_EQ(detail::recordReply("h:1", *findFilm("elutasitva")),
            detail::toCp1250("h:1/z/e/zelvo/film.php?a=elutasitva|0|"
                             "A film nem található vagy törölték.*"));
}

}  // namespace
