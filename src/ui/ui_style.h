#pragma once

#include <QIcon>
#include <QLabel>
#include <QString>

namespace tarvello::ui {

// The desktop's themed icon closest to each symbol the windows name; empty where the
// theme has none, so a row shows its text alone.
inline QIcon symbolIcon(const char* symbol) {
    static const struct {
        const char* symbol;
        const char* themeName;
    } map[] = {
        {"exclamationmark.triangle.fill", "dialog-warning"},
        {"doc.on.doc", "edit-copy"},
        {"arrow.clockwise", "view-refresh"},
        {"speaker.wave.2.fill", "audio-speakers"},
        {"mic.fill", "audio-input-microphone"},
        {"video.fill", "camera-video"},
        {"web.camera.fill", "camera-web"},
        {"lock.open.fill", "changes-allow"},
        {"power", "system-shutdown"},
        {"checklist", "preferences-system"},
        {"network", "network-wired"},
        {"hammer.fill", "applications-engineering"},
        {"checkmark.circle.fill", "emblem-ok"},
        {"laptopcomputer", "computer-laptop"},
        {"cursorarrow", "input-mouse"},
    };
    for (const auto& m : map) {
        if (qstrcmp(m.symbol, symbol) == 0) return QIcon::fromTheme(QString::fromLatin1(m.themeName));
    }
    return {};
}

// Section captions are shown in capitals.
inline QLabel* sectionCaption(const QString& text) {
    auto* label = new QLabel(text.toUpper());
    label->setObjectName(QStringLiteral("caption"));
    label->setStyleSheet(
        QStringLiteral("color: palette(mid); font-size: 10px; font-weight: 600; margin-top: 6px;"));
    return label;
}

}  // namespace tarvello::ui
