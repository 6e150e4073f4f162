// How the Qt toolkit draws what the seam describes: texts, colours, fonts sized as a classic
// toolkit sizes them, with installed faces standing in for the named ones, and pictures.
#pragma once

#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QString>
#include <string>

#include "ui/toolkit.h"

namespace quiver::ui::qt {

QString Q(const std::string& text);
QColor ToQColor(Color c);
QFont MakeQFont(const Font& font);
// Null for a picture without pixels or with fewer than its size asks for.
QPixmap MakePixmap(const Picture& picture);

}  // namespace quiver::ui::qt
