#include "ui/service_host.h"

namespace ui {

QString serviceHost() { return QStringLiteral(ZELVO_SERVICE_HOST); }

}  // namespace ui
