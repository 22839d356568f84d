#include "ui/menu_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <initializer_list>
#include <utility>

#include "app/permissions.h"
#include "app/server_state.h"
#include "base/notification_center.h"
#include "base/settings.h"
#include "ui/ui_style.h"

namespace tarvello {

namespace {

constexpr struct {
    const char* name;
    double scale;
} kTextSizes[] = {{"Huge", 3.0}, {"Large", 2.5}, {"Retina", 2.0}, {"Medium", 1.75}, {"More space", 1.5}};

// Runs fn on the main thread if the view still exists then; callable from any thread.
void onMainThread(QPointer<QWidget> view, std::function<void()> fn) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [view, fn = std::move(fn)] {
            if (view) fn();
        },
        Qt::QueuedConnection);
}

void setCheckedQuietly(QCheckBox* box, bool on) {
    const QSignalBlocker block(box);
    box->setChecked(on);
}

QPushButton* borderlessButton(const QString& text, const char* icon, const char* name) {
    auto* b = new QPushButton(ui::themedIcon(icon), text);
    b->setObjectName(QString::fromLatin1(name));
    b->setFlat(true);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

QHBoxLayout* labelledRow(const QString& label, QWidget* value) {
    auto* row = new QHBoxLayout;
    auto* l = new QLabel(label);
    ui::makeSecondary(l);
    row->addWidget(l);
    row->addStretch(1);
    row->addWidget(value);
    return row;
}

// A choice among a text setting's values, shown as `items` (label, value). Read when it is
// next needed (a key press, a session start): nothing else to set off.
QComboBox* textChoice(QVBoxLayout* root, const char* key, const QString& label,
                      std::initializer_list<std::pair<QString, QString>> items) {
    auto* box = new QComboBox;
    box->setObjectName(QString::fromLatin1(key));
    for (const auto& [text, value] : items) box->addItem(text, value);
    root->addLayout(labelledRow(label, box));
    QObject::connect(box, &QComboBox::currentIndexChanged, box, [box, key](int index) {
        if (index < 0) return;
        Settings::shared().d().setString(key, box->itemData(index).toString().toStdString());
    });
    return box;
}

void showChoice(QComboBox* box, const std::string& value) {
    const QSignalBlocker block(box);
    box->setCurrentIndex(box->findData(QString::fromStdString(value)));
}

}  // namespace

MenuView::MenuView(ServerState& state, Permissions& p, std::shared_ptr<MenuActions> actions, QWidget* parent)
    : QWidget(parent), state_(state), p_(p), actions_(std::move(actions)) {
    setObjectName(QStringLiteral("menu"));
    setFixedWidth(400);
    build();
    stateObserver_ = state_.observe([this] { stateChanged(); });
    permissionsObserver_ = p_.observe([this] { permissionsChanged(); });
    settingsObserver_ = NotificationCenter::shared().observe(Notification::settingsChanged, [this] {
        const double scale = Settings::shared().uiScale();
        const QSignalBlocker block(textSize_);
        textSize_->setCurrentIndex(textSize_->findData(scale));
        setCheckedQuietly(tailnetOnly_, Settings::shared().tailnetOnly());
    });
    reload();
}

MenuView::~MenuView() {
    state_.unobserve(stateObserver_);
    p_.unobserve(permissionsObserver_);
    NotificationCenter::shared().unobserve(settingsObserver_);
}

QCheckBox* MenuView::addSwitch(QVBoxLayout* layout, const char* name, const QString& text, const char* icon) {
    auto* box = new QCheckBox(text);
    box->setObjectName(QString::fromLatin1(name));
    box->setIcon(ui::themedIcon(icon));
    box->setLayoutDirection(Qt::LeftToRight);
    layout->addWidget(box);
    return box;
}

void MenuView::bindSetting(QCheckBox* box, const char* key, std::function<void(bool)> followUp) {
    connect(box, &QCheckBox::toggled, this, [key, followUp = std::move(followUp)](bool on) {
        Settings::shared().d().setBool(key, on);
        if (followUp) followUp(on);
    });
}

void MenuView::build() {
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(16, 16, 16, 16);
    root->setSpacing(6);

    // 1. Warning row.
    warning_ = new QPushButton(ui::themedIcon("dialog-warning"), QString());
    warning_->setObjectName(QStringLiteral("warning"));
    warning_->setStyleSheet(
        QStringLiteral("QPushButton { text-align: left; padding: 6px 8px; border-radius: 6px; background: "
                       "rgba(255,149,0,0.18); }"));
    auto* chevron = new QHBoxLayout(warning_);
    chevron->setContentsMargins(0, 0, 8, 0);
    chevron->addStretch(1);
    chevron->addWidget(new QLabel(QStringLiteral("\u203a")));
    connect(warning_, &QPushButton::clicked, this,
            [] { NotificationCenter::shared().post(Notification::showOnboarding); });
    root->addWidget(warning_);

    // 2. Header.
    auto* title = new QLabel(QStringLiteral("Tarvello"));
    title->setObjectName(QStringLiteral("title"));
    title->setStyleSheet(QStringLiteral("font-size: 17px; font-weight: 700;"));
    root->addWidget(title);
    auto* statusRow = new QHBoxLayout;
    dot_ = new QLabel;
    dot_->setObjectName(QStringLiteral("dot"));
    dot_->setFixedSize(7, 7);
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("status"));
    statusRow->addWidget(dot_);
    statusRow->addWidget(status_, 1);
    root->addLayout(statusRow);
    // Someone guessing the pairing code, for instance: the user should see it here, not
    // only in the log.
    alert_ = new QLabel;
    alert_->setObjectName(QStringLiteral("alert"));
    alert_->setWordWrap(true);
    alert_->setStyleSheet(QStringLiteral("color: #ff9500;"));
    root->addWidget(alert_);
    // Stays while the phone's unencrypted session lasts: the user may be on a shared network.
    notEncrypted_ = new QLabel;
    notEncrypted_->setObjectName(QStringLiteral("notEncrypted"));
    notEncrypted_->setWordWrap(true);
    notEncrypted_->setStyleSheet(QStringLiteral("color: #ff9500;"));
    root->addWidget(notEncrypted_);
    stats_ = new QLabel;
    stats_->setObjectName(QStringLiteral("stats"));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(mono.pointSizeF() * 0.85);
    stats_->setFont(mono);
    root->addWidget(stats_);

    // 3. Connection.
    root->addWidget(ui::sectionCaption(QStringLiteral("Connect from your iPhone")));
    address_ = new QLabel;
    address_->setObjectName(QStringLiteral("address"));
    address_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    root->addLayout(labelledRow(QStringLiteral("Address"), address_));
    auto* codeRow = new QHBoxLayout;
    auto* codeLabel = new QLabel(QStringLiteral("Code"));
    ui::makeSecondary(codeLabel);
    code_ = new QLabel;
    code_->setObjectName(QStringLiteral("code"));
    code_->setStyleSheet(QStringLiteral("font-size: 15px; font-weight: 600; letter-spacing: 2px;"));
    code_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* copy = borderlessButton(QStringLiteral("Copy"), "edit-copy", "copyCode");
    auto* newCode = borderlessButton(QStringLiteral("New code"), "view-refresh", "newCode");
    codeRow->addWidget(codeLabel);
    codeRow->addStretch(1);
    codeRow->addWidget(code_);
    codeRow->addWidget(copy);
    codeRow->addWidget(newCode);
    root->addLayout(codeRow);
    connect(copy, &QPushButton::clicked, this, [this] {
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(code_->text());
    });
    connect(newCode, &QPushButton::clicked, this, [this] {
        Settings::shared().newToken();
        code_->setText(QString::fromStdString(Settings::shared().token()));
    });
    // The server reads it at every connection and moves its listener within seconds.
    tailnetOnly_ = addSwitch(root, SettingsKey::tailnetOnly,
                             QStringLiteral("Only over Tailscale (encrypted)"), "network-vpn");
    bindSetting(tailnetOnly_, SettingsKey::tailnetOnly,
                [](bool) { NotificationCenter::shared().post(Notification::settingsChanged); });

    // 4. iPhone.
    root->addWidget(ui::sectionCaption(QStringLiteral("iPhone")));
    textSize_ = new QComboBox;
    textSize_->setObjectName(QStringLiteral("textSize"));
    for (const auto& s : kTextSizes) textSize_->addItem(QString::fromLatin1(s.name), s.scale);
    root->addLayout(labelledRow(QStringLiteral("Text size"), textSize_));
    connect(textSize_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0) return;
        Settings::shared().d().setDouble(SettingsKey::uiScale, textSize_->itemData(index).toDouble());
        actions_->restartSession();
    });
    sound_ = addSwitch(root, SettingsKey::soundOnIPhone,
                       QStringLiteral("This computer's sound on the iPhone"), "audio-volume-high");
    mic_ = addSwitch(root, SettingsKey::iPhoneMic, QStringLiteral("iPhone as this computer's microphone"),
                     "audio-input-microphone");
    cam_ = addSwitch(root, SettingsKey::iPhoneCamera, QStringLiteral("iPhone as this computer's camera"),
                     "camera-video");
    commandKey_ = textChoice(root, SettingsKey::commandKey, QStringLiteral("\u2318 Command key acts as"),
                             {{QStringLiteral("Control"), QStringLiteral("control")},
                              {QStringLiteral("Super"), QStringLiteral("super")}});
    displayChoice_ = textChoice(root, SettingsKey::display, QStringLiteral("The iPhone shows"),
                                {{QStringLiteral("Your desktop, if there is one"), QStringLiteral("auto")},
                                 {QStringLiteral("Your desktop"), QStringLiteral("desktop")},
                                 {QStringLiteral("A private desktop"), QStringLiteral("private")}});
    // Read when the next session starts: nothing else to set off.
    bindSetting(sound_, SettingsKey::soundOnIPhone, nullptr);
    bindSetting(mic_, SettingsKey::iPhoneMic, nullptr);
    bindSetting(cam_, SettingsKey::iPhoneCamera, nullptr);

    // 5. While the iPhone is connected.
    whileConnected_ = ui::sectionCaption(QStringLiteral("While the iPhone is connected"));
    root->addWidget(whileConnected_);
    stage_ = addSwitch(root, SettingsKey::stageManager, QStringLiteral("Stage Manager"),
                       "preferences-system-windows");
    dock_ = addSwitch(root, SettingsKey::showDock, QStringLiteral("Show the Dock"), "user-desktop");
    bindSetting(stage_, SettingsKey::stageManager, [this](bool on) { actions_->stageManagerSwitched(on); });
    bindSetting(dock_, SettingsKey::showDock, [this](bool on) { actions_->showDockSwitched(on); });

    // 6. Power and login.
    unlocked_ = addSwitch(root, SettingsKey::keepUnlocked, QStringLiteral("Keep awake and unlocked"),
                          "changes-allow");
    bindSetting(unlocked_, SettingsKey::keepUnlocked, [this](bool) { actions_->keepUnlockedChanged(); });
    lidAwake_ =
        addSwitch(root, "lidAwake", QStringLiteral("Stay awake with the lid closed while Tarvello runs"),
                  "computer-laptop");
    connect(lidAwake_, &QCheckBox::toggled, this, [this](bool on) {
        QPointer<QWidget> self(this);
        actions_->setLidAwake(on, [self, box = lidAwake_](bool state) {
            onMainThread(self, [box, state] { setCheckedQuietly(box, state); });
        });
    });
    loginItem_ = addSwitch(root, "loginItem", QStringLiteral("Open at login"), "system-run");
    connect(loginItem_, &QCheckBox::toggled, this, [this](bool on) { p_.setLoginItem(on); });

    // 7. Developer.
    developer_ = new QToolButton;
    developer_->setObjectName(QStringLiteral("developer"));
    developer_->setText(QStringLiteral("Developer"));
    developer_->setIcon(ui::themedIcon("applications-development"));
    developer_->setCheckable(true);
    developer_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    developer_->setArrowType(Qt::RightArrow);
    developer_->setAutoRaise(true);
    root->addWidget(developer_);
    developerGroup_ = new QWidget;
    developerGroup_->setObjectName(QStringLiteral("developerGroup"));
    auto* dev = new QVBoxLayout(developerGroup_);
    dev->setContentsMargins(12, 0, 0, 0);
    mirror_ = addSwitch(dev, SettingsKey::mirrorMac,
                        QStringLiteral("This computer's display mirrors the iPhone"), "video-display");
    cursor_ = addSwitch(dev, SettingsKey::showsCursor, QStringLiteral("Pointer in the video"), "input-mouse");
    bindSetting(mirror_, SettingsKey::mirrorMac, [this](bool) { actions_->restartSession(); });
    bindSetting(cursor_, SettingsKey::showsCursor, [this](bool) { actions_->restartSession(); });
    maxBitrate_ = new QSlider(Qt::Horizontal);
    maxBitrate_->setObjectName(QStringLiteral("maxBitrate"));
    // Steps of 4 from 8 to 80, so the slider counts steps.
    maxBitrate_->setRange(2, 20);
    maxBitrateLabel_ = new QLabel;
    maxBitrateLabel_->setObjectName(QStringLiteral("maxBitrateLabel"));
    auto* bitrateRow = new QHBoxLayout;
    bitrateRow->addWidget(new QLabel(QStringLiteral("Max bitrate")));
    bitrateRow->addWidget(maxBitrate_, 1);
    bitrateRow->addWidget(maxBitrateLabel_);
    dev->addLayout(bitrateRow);
    auto storeBitrate = [this] {
        Settings::shared().d().setInt(SettingsKey::maxBitrate, maxBitrate_->value() * 4);
    };
    connect(maxBitrate_, &QSlider::valueChanged, this, [this, storeBitrate](int step) {
        maxBitrateLabel_->setText(QStringLiteral("%1 Mb/s").arg(step * 4));
        // A drag is stored when the user lets go; keys and clicks store at once.
        if (!maxBitrate_->isSliderDown()) storeBitrate();
    });
    connect(maxBitrate_, &QSlider::sliderReleased, this, storeBitrate);
    log_ = new QPlainTextEdit;
    log_->setObjectName(QStringLiteral("log"));
    log_->setReadOnly(true);
    log_->setFixedHeight(130);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_->setFont(mono);
    dev->addWidget(log_);
    auto* copyLog = borderlessButton(QStringLiteral("Copy"), "edit-copy", "copyLog");
    dev->addWidget(copyLog, 0, Qt::AlignRight);
    connect(copyLog, &QPushButton::clicked, this, [this] {
        QStringList all;
        for (const auto& l : state_.lines) all << QString::fromStdString(l);
        QGuiApplication::clipboard()->setText(all.join(QLatin1Char('\n')));
    });
    root->addWidget(developerGroup_);
    developerGroup_->setVisible(false);
    connect(developer_, &QToolButton::toggled, this, [this](bool open) {
        developer_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        developerGroup_->setVisible(open);
        adjustSize();
    });

    // 8. Footer.
    auto* footer = new QHBoxLayout;
    auto* setUp = borderlessButton(QStringLiteral("Set Up\u2026"), "preferences-system", "setUp");
    auto* quit = borderlessButton(QStringLiteral("Quit"), "system-shutdown", "quit");
    footer->addWidget(setUp);
    footer->addStretch(1);
    footer->addWidget(quit);
    root->addLayout(footer);
    connect(setUp, &QPushButton::clicked, this,
            [] { NotificationCenter::shared().post(Notification::showOnboarding); });
    connect(quit, &QPushButton::clicked, this, [this] { actions_->quit(); });
}

void MenuView::reload() {
    Settings& s = Settings::shared();
    code_->setText(QString::fromStdString(s.token()));
    {
        const QSignalBlocker block(textSize_);
        textSize_->setCurrentIndex(textSize_->findData(s.uiScale()));
    }
    showChoice(commandKey_, s.commandKey());
    showChoice(displayChoice_, s.display());
    setCheckedQuietly(mirror_, s.mirrorMac());
    setCheckedQuietly(cursor_, s.showsCursor());
    {
        const QSignalBlocker block(maxBitrate_);
        maxBitrate_->setValue(int(std::clamp<int64_t>(s.maxBitrate(), 8, 80) / 4));
        maxBitrateLabel_->setText(QStringLiteral("%1 Mb/s").arg(maxBitrate_->value() * 4));
    }
    setCheckedQuietly(sound_, s.soundOnIPhone());
    setCheckedQuietly(mic_, s.iPhoneMic());
    setCheckedQuietly(cam_, s.iPhoneCamera());
    setCheckedQuietly(unlocked_, s.keepUnlocked());
    setCheckedQuietly(stage_, s.stageManager());
    setCheckedQuietly(dock_, s.showDock());
    setCheckedQuietly(tailnetOnly_, s.tailnetOnly());

    const auto stageReason = actions_->stageManagerUnavailable();
    const auto dockReason = actions_->dockUnavailable();
    // A switch this desktop cannot serve is left out, not shown ticked and greyed.
    stage_->setVisible(!stageReason);
    dock_->setVisible(!dockReason);
    whileConnected_->setVisible(!stageReason || !dockReason);

    QPointer<QWidget> self(this);
    actions_->readLidAwake([self, box = lidAwake_](bool state) {
        onMainThread(self, [box, state] { setCheckedQuietly(box, state); });
    });
    stateChanged();
    permissionsChanged();
}

void MenuView::stateChanged() {
    const char* colour = state_.locked ? "#ff9500" : state_.client ? "#34c759" : "#8e8e93";
    dot_->setStyleSheet(QStringLiteral("background: %1; border-radius: 3px;").arg(QLatin1String(colour)));
    status_->setText(state_.locked ? QStringLiteral("Session locked")
                                   : QString::fromStdString(state_.status));
    alert_->setText(QString::fromStdString(state_.warning));
    alert_->setVisible(!state_.warning.empty());
    notEncrypted_->setText(QString::fromStdString(state_.notEncrypted));
    notEncrypted_->setVisible(!state_.notEncrypted.empty());
    stats_->setText(QStringLiteral("%1 fps   %2")
                        .arg(state_.fps)
                        .arg(QString::asprintf("%.1f Mb/s \u00b7 %s", state_.mbps, state_.codec.c_str())));
    QStringList all;
    for (const auto& l : state_.lines) all << QString::fromStdString(l);
    const QString text = all.join(QLatin1Char('\n'));
    if (log_->toPlainText() != text) {
        // Follows new lines only while the reader is at the end; otherwise what they
        // scrolled to stays in view.
        QScrollBar* v = log_->verticalScrollBar();
        QScrollBar* h = log_->horizontalScrollBar();
        const bool atEnd = v->value() >= v->maximum();
        const int top = v->value(), left = h->value();
        log_->setPlainText(text);
        v->setValue(atEnd ? v->maximum() : top);
        h->setValue(left);
    }
}

void MenuView::permissionsChanged() {
    warning_->setVisible(!p_.essentialsDone());
    if (p_.screenUnavailable)
        warning_->setText(QString::fromStdString(*p_.screenUnavailable));
    else
        warning_->setText((!p_.screen || !p_.accessibility) ? QStringLiteral("Display or input unavailable")
                                                            : QStringLiteral("Tailscale isn't connected"));
    address_->setText(p_.tailscaleIP        ? QString::fromStdString(*p_.tailscaleIP)
                      : p_.tailscaleSkipped ? QStringLiteral("Local network only")
                                            : QStringLiteral("Tailscale not connected"));
    setCheckedQuietly(loginItem_, p_.loginItem);
}

}  // namespace tarvello
