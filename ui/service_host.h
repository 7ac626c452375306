// The film service the program talks to, fixed at build time (-DZELVO_SERVICE_HOST).
#pragma once

#include <QString>

namespace ui {

// "name" or "name:port".
QString serviceHost();

}  // namespace ui
