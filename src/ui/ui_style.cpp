#include "ui/ui_style.h"

#include <QFile>

// Resources of a static library are registered by hand, outside any namespace.
static void initIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace tarvello::ui {

QIcon themedIcon(const char* name) {
    static const bool registered = (initIconResources(), true);
    (void)registered;
    const QString themeName = QString::fromLatin1(name);
    const QString bundled = QStringLiteral(":/icons/%1.svg").arg(themeName);
    return QIcon::fromTheme(themeName, QFile::exists(bundled) ? QIcon(bundled) : QIcon());
}

}  // namespace tarvello::ui
