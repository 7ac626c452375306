// A window pointed at an in-process substitute service, downloading into a temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cctype>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/codepage.h"
#include "net/url.h"
#include "service/service.h"
#include "tests/fakes.h"
#include "ui/catalogue_view.h"
#include "ui/form1.h"

// Deterministic bytes that include the values a text mode would mangle (0, CR, LF, ^Z).
inline std::string patternBytes(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = 2463534242u ^ (seed * 2654435761u);
  for (std::size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(i % 97 == 0 ? "\0\r\n\x1a"[i % 4] : x & 0xff);
  }
  return s;
}

// Turns a row's name into a gtest name: letters and digits only.
inline std::string caseName(const char* name) {
  std::string out;
  bool upper = true;
  for (const char* p = name; *p; ++p) {
    const char c = *p;
    if (std::isalnum(static_cast<unsigned char>(c))) {
      out += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
      upper = false;
    } else {
      upper = true;
    }
  }
  return out;
}
class FilmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start(0));
    host = server.host();
    ASSERT_TRUE(folder.isValid());
    w = std::make_unique<Form1>(QString::fromStdString(host), fakes.seams());
    w->show();
    ASSERT_TRUE(w->directory->setPath(folder.path()));
  }

  static std::string recordTarget(const QString& id) {
    return "/z/e/zelvo/basix2.php?a=" + net::percentEncode(id).toStdString();
  }
  static std::string recordTarget(const service::FilmSpec& f) {
    return recordTarget(QString::fromStdString(f.id));
  }
  // Where slice i of a film is asked for on this service.
  std::string sliceTarget(const service::FilmSpec& f, std::size_t i) const {
    return service::sliceAddress(host, f, i).substr(host.size());
  }
  static const service::FilmSpec& serviceFilm(const char* id) {
    const service::FilmSpec* f = service::findFilm(id);
    if (!f) throw std::runtime_error(std::string("no such service film: ") + id);
    return *f;
  }
  // A canned reply at an exact target, for answers no film gives.
  void serve(const std::string& target, std::string body,
             service::Fault fault = service::Fault::None, int status = 200) {
    service::Reply r;
    r.body = std::move(body);
    r.fault = fault;
    r.status = status;
    server.setReply(target, r);
  }
  void startWith(const QString& id) {
    w->azonosito->setText(id);
    QTest::mouseClick(w->Go, Qt::LeftButton);
  }
  QString pathOf(const QString& filmName) const {
    return folder.path() + QLatin1Char('/') + fileNameOf(filmName);
  }
  static QString fileNameOf(const QString& filmName) {
    return filmName + QStringLiteral("_Zelvoweb.mpg");
  }
  // A film that did not finish: nothing under its final name, and its work file holds
  // exactly these bytes.
  void expectOnlyWorkFile(const QString& filmName, const std::string& bytes) const {
    EXPECT_FALSE(QFile::exists(pathOf(filmName)));
    EXPECT_TRUE(fileBytes(filmName, QStringLiteral(".part")) == bytes)
        << fileBytes(filmName, QStringLiteral(".part")).size() << " bytes, not " << bytes.size();
  }
  std::string fileBytes(const QString& filmName, const QString& suffix = {}) const {
    QFile f(pathOf(filmName) + suffix);
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll().toStdString();
  }
  std::vector<std::string> targets() const {
    std::vector<std::string> t;
    for (const auto& r : server.requests()) t.push_back(r.target);
    return t;
  }

  service::Server server;
  std::string host;
  QTemporaryDir folder;
  FakeSeams fakes;
  std::unique_ptr<Form1> w;
};
