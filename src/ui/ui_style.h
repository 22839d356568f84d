#pragma once

#include <QIcon>
#include <QLabel>
#include <QString>

namespace tarvello::ui {

// The desktop theme's icon of that freedesktop name, else the copy bundled with the
// program, so no row is left without one where the theme lacks it.
QIcon themedIcon(const char* name);

// Section captions are shown in capitals.
inline QLabel* sectionCaption(const QString& text) {
    auto* label = new QLabel(text.toUpper());
    label->setObjectName(QStringLiteral("caption"));
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setStyleSheet(QStringLiteral("font-size: 10px; font-weight: 600; margin-top: 6px;"));
    return label;
}

// Secondary text in the desktop's palette, light or dark alike.
inline void makeSecondary(QLabel* label) {
    label->setForegroundRole(QPalette::PlaceholderText);
}

}  // namespace tarvello::ui
