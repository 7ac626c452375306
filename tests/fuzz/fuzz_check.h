// Invariant checks for the fuzz targets: a violation prints what broke and traps, so
// libFuzzer stores the input that caused it.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdio>

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__, #cond); \
      std::fflush(stderr);                                                                \
      __builtin_trap();                                                                   \
    }                                                                                     \
  } while (0)

// Same, with the offending text shown as UTF-8.
#define FUZZ_CHECK_TEXT(cond, text)                                                               \
  do {                                                                                            \
    if (!(cond)) {                                                                                \
      std::fprintf(stderr, "%s:%d: invariant violated: %s\n  text: \"%s\"\n", __FILE__, __LINE__, \
                   #cond, QString(text).toUtf8().toHex(' ').constData());                         \
      std::fflush(stderr);                                                                        \
      __builtin_trap();                                                                           \
    }                                                                                             \
  } while (0)
