// The user's decimal separator comes from the system locale (here a Hungarian one).
#include <gtest/gtest.h>

#include <cstdlib>

#include "download/film_logic.h"

TEST(Locale, HungarianUsersSeeADecimalComma) {
  EXPECT_EQ(download::userDecimalSeparator(), QLatin1Char(','));
  const double percent = download::progressNumbers(640000, 2930, 4000).percentDone;
  const auto p = download::progressTexts(640000, 2930, percent, download::userDecimalSeparator());
  EXPECT_EQ(p.infoText, QStringLiteral("625Kb/2930Kb 21,33%"));
}

int main(int argc, char** argv) {
  // Before anything reads the locale.
  setenv("LC_ALL", "hu_HU.UTF-8", 1);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
