// The state of one film download under the names the window knows it by. The film
// download owns it; the window reads it (what it shows) and asks the download to abort.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>

#include "net/wininet.h"

namespace download {

struct FilmState {
  // Handles of the slice transfer under way; 0 once closed.
  net::HINTERNET hSession = 0;
  net::HINTERNET hConnect = 0;
  net::HINTERNET hRequest = 0;

  // Read state of the slice loop (the text fetch keeps its own).
  bool readMore = false;
  char readBuffer[64] = {};
  std::int32_t bytesRead = 0;

  QString referrerUrl;
  QStringList sliceUrls;
  QStringList filmFields;
  std::int32_t sliceCount = 0;
  QVariant loopItem;

  // 64-bit so that films and slices past 2 GiB keep correct figures.
  std::int64_t sliceSize = 0;
  double totalKb = 0;
  std::int64_t receivedBytes = 0;
  std::int32_t readsSinceUpdate = 0;
  double barWidth = 0;
  double percentDone = 0;
};

}  // namespace download
