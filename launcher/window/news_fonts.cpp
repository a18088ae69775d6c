#include "window/news_fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace news_fonts {

QString install()
{
    static const QString family = [] {
        QString name;
        for (const char *face : {":/FONTS/DejaVuSans.ttf", ":/FONTS/DejaVuSans-Bold.ttf"}) {
            const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(face));
            const QStringList families = QFontDatabase::applicationFontFamilies(id);
            if (id < 0 || families.isEmpty())
                return QString();
            name = families.first();
        }
        return name;
    }();
    return family;
}

} // namespace news_fonts
