// The look of the manager's windows: one style sheet instead of the skin the
// windows were once drawn with.
#pragma once

#include <QString>

namespace orvane {
QString MainWindowStyle();
}
