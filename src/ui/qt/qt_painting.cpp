// Texts, colours, fonts and pictures for the Qt toolkit.
#include "ui/qt/qt_painting.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QImage>
#include <algorithm>
#include <vector>

#include "ui/qt/qt_toolkit.h"

namespace quiver::ui::qt {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QColor ToQColor(Color c) {
    return QColor(c.red, c.green, c.blue);
}

namespace {

// A classic toolkit's pixel height for a point size, on a 96 dpi screen (MulDiv rounding).
int PixelSize(int points) {
    return std::max(1, (points * 96 + 36) / 72);
}

struct Replacement {
    const char* face;
    std::vector<const char*> nearest;
    bool fixedPitch;
};

// The faces a classic form names, with the installed faces nearest to each: metric-compatible
// ones first, then the nearest in design.
const std::vector<Replacement>& Replacements() {
    static const std::vector<Replacement> table = {
        {"MS Sans Serif",
         {"Microsoft Sans Serif", "Liberation Sans", "Arimo", "DejaVu Sans"},
         false},
        {"Arial", {"Liberation Sans", "Arimo", "DejaVu Sans"}, false},
        {"Tahoma", {"Liberation Sans", "Arimo", "DejaVu Sans"}, false},
        {"Verdana", {"DejaVu Sans", "Bitstream Vera Sans", "Liberation Sans"}, false},
        {"Courier New", {"Liberation Mono", "Cousine", "DejaVu Sans Mono"}, true},
        {"Courier", {"Liberation Mono", "Cousine", "DejaVu Sans Mono"}, true},
    };
    return table;
}

const Replacement* FindReplacement(const std::string& face) {
    for (const Replacement& r : Replacements()) {
        if (face == r.face) {
            return &r;
        }
    }
    return nullptr;
}

}  // namespace

QFont MakeQFont(const Font& font) {
    QFont f(Q(QtApplication::ResolvedFace(font.face)));
    f.setPixelSize(PixelSize(font.points));
    f.setBold(font.bold);
    const Replacement* r = FindReplacement(font.face);
    if (r != nullptr && r->fixedPitch) {
        f.setFixedPitch(true);
        f.setStyleHint(QFont::TypeWriter);
    }
    return f;
}

QPixmap MakePixmap(const Picture& picture) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.pixels.size() < static_cast<std::size_t>(picture.width) * picture.height) {
        return QPixmap();
    }
    // 0xAARRGGBB per pixel is QImage's ARGB32.
    const QImage image(reinterpret_cast<const uchar*>(picture.pixels.data()), picture.width,
                       picture.height, picture.width * 4, QImage::Format_ARGB32);
    return QPixmap::fromImage(image.copy());
}

std::string QtApplication::ResolvedFace(const std::string& face) {
    if (QFontDatabase::hasFamily(Q(face))) {
        return face;
    }
    const Replacement* r = FindReplacement(face);
    if (r != nullptr) {
        for (const char* nearest : r->nearest) {
            if (QFontDatabase::hasFamily(QString::fromLatin1(nearest))) {
                return nearest;
            }
        }
    }
    // The face the font matching of the system picks for the name.
    QFont font(Q(face));
    if (r != nullptr && r->fixedPitch) {
        font.setFixedPitch(true);
        font.setStyleHint(QFont::TypeWriter);
    }
    return QFontInfo(font).family().toStdString();
}

}  // namespace quiver::ui::qt
