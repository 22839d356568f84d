#include "ui/onboarding_view.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/permissions.h"
#include "base/notification_center.h"
#include "base/settings.h"
#include "ui/ui_style.h"

namespace tarvello {

namespace {

void showText(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

void showText(QPushButton* button, const QString& text) {
    if (button->text() != text) button->setText(text);
}

QLabel* iconLabel(const char* icon) {
    auto* label = new QLabel;
    label->setFixedSize(28, 28);
    label->setPixmap(ui::themedIcon(icon).pixmap(24, 24));
    return label;
}

QLabel* rowTitle(const QString& text) {
    auto* t = new QLabel(text);
    t->setStyleSheet(QStringLiteral("font-weight: 600; font-size: 14px;"));
    return t;
}

}  // namespace

OnboardingView::OnboardingView(Permissions& p, std::function<void()> close, QWidget* parent)
    : QWidget(parent), p_(p), close_(std::move(close)) {
    setObjectName(QStringLiteral("onboarding"));
    setMinimumSize(420, 320);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto* scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("rows"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget;
    scroll->setWidget(content);
    outer->addWidget(scroll, 1);

    auto* root = new QVBoxLayout(content);
    root->setContentsMargins(28, 24, 28, 12);
    root->setSpacing(10);

    auto* title = new QLabel(QStringLiteral("Tarvello"));
    title->setObjectName(QStringLiteral("title"));
    title->setStyleSheet(QStringLiteral("font-size: 24px; font-weight: 700;"));
    root->addWidget(title);
    auto* intro =
        new QLabel(QStringLiteral("Your iPhone becomes this computer's screen, keyboard and trackpad.\n"
                                  "Set this up once and you're done."));
    intro->setObjectName(QStringLiteral("intro"));
    intro->setWordWrap(true);
    ui::makeSecondary(intro);
    root->addWidget(intro);
    root->addSpacing(4);

    display_ = addRow(root, "display", "video-display", QStringLiteral("Display"));
    display_.button->setText(QStringLiteral("Help"));
    connect(display_.button, &QPushButton::clicked, this, [this] { p_.requestScreen(); });

    input_ = addRow(root, "input", "input-keyboard", QStringLiteral("Input"));
    input_.button->setText(QStringLiteral("Help"));
    connect(input_.button, &QPushButton::clicked, this, [this] { p_.requestAccessibility(); });

    tailscale_ = addRow(root, "tailscale", "network-vpn", QStringLiteral("Tailscale"));
    tailscale_.button->setText(QStringLiteral("Install"));
    connect(tailscale_.button, &QPushButton::clicked, this, [this] { p_.openTailscaleStore(); });
    skipTailscale_ = new QPushButton;
    skipTailscale_->setObjectName(QStringLiteral("skipTailscale"));
    tailscale_.shell->layout()->addWidget(skipTailscale_);
    connect(skipTailscale_, &QPushButton::clicked, this, [this] { p_.skipTailscale(!p_.tailscaleSkipped); });
    tailnetOnly_ = new QCheckBox(QStringLiteral("Only over Tailscale (encrypted)"));
    tailnetOnly_->setObjectName(QStringLiteral("tailnetOnly"));
    tailnetOnly_->setToolTip(
        QStringLiteral("Refuse phones on the local network, where the screen and "
                       "typing travel unencrypted."));
    tailnetOnly_->setChecked(Settings::shared().tailnetOnly());
    tailscale_.shell->layout()->addWidget(tailnetOnly_);
    connect(tailnetOnly_, &QCheckBox::toggled, this, [](bool on) {
        Settings::shared().d().setBool(SettingsKey::tailnetOnly, on);
        NotificationCenter::shared().post(Notification::settingsChanged);
    });

    audio_ = addRow(root, "audio", "audio-volume-high", QStringLiteral("Sound & microphone"));
    audio_.button->setText(QStringLiteral("Install"));
    connect(audio_.button, &QPushButton::clicked, this, [this] { p_.installAudio(); });

    camera_ = addRow(root, "camera", "camera-web", QStringLiteral("Camera"));
    connect(camera_.button, &QPushButton::clicked, this, [this] { p_.installCamera(); });

    stage_ = addRow(root, "stageManager", "preferences-system-windows", QStringLiteral("Stage Manager"));
    stage_.button->setText(QStringLiteral("Add"));
    connect(stage_.button, &QPushButton::clicked, this, [this] { p_.setupStageManager(); });

    // The login item row: a switch instead of a button.
    {
        auto* shell = new QWidget;
        shell->setObjectName(QStringLiteral("loginItemRow"));
        auto* row = new QHBoxLayout(shell);
        row->setContentsMargins(12, 6, 12, 6);
        auto* text = new QVBoxLayout;
        text->addWidget(rowTitle(QStringLiteral("Open at login")));
        auto* d = new QLabel(QStringLiteral("Tarvello starts when you log in to this computer."));
        d->setWordWrap(true);
        ui::makeSecondary(d);
        text->addWidget(d);
        loginItem_ = new QCheckBox;
        loginItem_->setObjectName(QStringLiteral("loginItem"));
        row->addWidget(iconLabel("system-run"));
        row->addLayout(text, 1);
        row->addWidget(loginItem_);
        root->addWidget(shell);
        connect(loginItem_, &QCheckBox::toggled, this, [this](bool on) { p_.setLoginItem(on); });
    }
    root->addStretch(1);

    // The footer stays in view however far the rows are scrolled.
    auto* footerShell = new QWidget;
    auto* footer = new QHBoxLayout(footerShell);
    footer->setContentsMargins(28, 10, 28, 16);
    footerText_ = new QLabel;
    footerText_->setObjectName(QStringLiteral("footerText"));
    footerText_->setWordWrap(true);
    footer->addWidget(footerText_, 1);
    relaunch_ = new QPushButton(QStringLiteral("Relaunch Tarvello"));
    relaunch_->setObjectName(QStringLiteral("relaunch"));
    relaunch_->setDefault(true);
    connect(relaunch_, &QPushButton::clicked, this, [this] { p_.relaunch(); });
    footerButton_ = new QPushButton;
    footerButton_->setObjectName(QStringLiteral("footerButton"));
    connect(footerButton_, &QPushButton::clicked, this, [this] {
        if (close_) close_();
    });
    footer->addWidget(relaunch_);
    footer->addWidget(footerButton_);
    outer->addWidget(footerShell);

    observer_ = p_.observe([this] { refreshRows(); });
    settingsObserver_ = NotificationCenter::shared().observe(Notification::settingsChanged, [this] {
        const QSignalBlocker block(tailnetOnly_);
        tailnetOnly_->setChecked(Settings::shared().tailnetOnly());
    });
    refreshRows();
}

OnboardingView::~OnboardingView() {
    p_.unobserve(observer_);
    NotificationCenter::shared().unobserve(settingsObserver_);
}

OnboardingView::Row OnboardingView::addRow(QVBoxLayout* layout, const char* name, const char* icon,
                                           const QString& title) {
    Row r;
    r.shell = new QWidget;
    r.shell->setObjectName(QString::fromLatin1(name) + QStringLiteral("Row"));
    r.shell->setAttribute(Qt::WA_StyledBackground);
    r.shell->setStyleSheet(QStringLiteral("#%1 { background: palette(alternate-base); border-radius: 8px; }")
                               .arg(r.shell->objectName()));
    auto* row = new QHBoxLayout(r.shell);
    row->setContentsMargins(12, 10, 12, 10);
    auto* text = new QVBoxLayout;
    r.detail = new QLabel;
    r.detail->setObjectName(QString::fromLatin1(name) + QStringLiteral("Detail"));
    r.detail->setWordWrap(true);
    r.detail->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ui::makeSecondary(r.detail);
    text->addWidget(rowTitle(title));
    text->addWidget(r.detail);
    r.done = new QLabel;
    r.done->setObjectName(QString::fromLatin1(name) + QStringLiteral("Done"));
    r.done->setStyleSheet(QStringLiteral("color: #2ea44f; font-weight: 600;"));
    r.button = new QPushButton;
    r.button->setObjectName(QString::fromLatin1(name) + QStringLiteral("Button"));
    row->addWidget(iconLabel(icon));
    row->addLayout(text, 1);
    row->addWidget(r.done);
    row->addWidget(r.button);
    layout->addWidget(r.shell);
    return r;
}

void OnboardingView::refreshRows() {
    const QString check = QStringLiteral("\u2713 ");
    auto state = [&](Row& r, bool done, const QString& doneText) {
        r.done->setVisible(done);
        r.button->setVisible(!done);
        showText(r.done, check + doneText);
    };

    QString desktop = QString::fromStdString(p_.desktop.title);
    if (p_.screenUnavailable)
        desktop += QStringLiteral("\n") + QString::fromStdString(*p_.screenUnavailable);
    else if (p_.desktop.reason)
        desktop += QStringLiteral("\n") + QString::fromStdString(*p_.desktop.reason);
    showText(display_.detail, desktop);
    state(display_, p_.screen, QStringLiteral("Ready"));

    showText(input_.detail, p_.accessibility
                                ? QStringLiteral("The iPhone's keyboard and trackpad control this computer.")
                                : QStringLiteral("The iPhone's keyboard and trackpad cannot reach this "
                                                 "computer's input yet."));
    state(input_, p_.accessibility, QStringLiteral("Ready"));

    if (p_.tailscaleIP) {
        showText(tailscale_.detail,
                 QStringLiteral("Connected. Your iPhone reaches this computer from anywhere."));
        state(tailscale_, true, QString::fromStdString(*p_.tailscaleIP));
        skipTailscale_->setVisible(false);
        tailnetOnly_->setVisible(true);
    } else if (p_.tailscaleSkipped) {
        showText(tailscale_.detail, QStringLiteral("Local network only: your iPhone reaches this computer on "
                                                   "the same network."));
        state(tailscale_, true, QStringLiteral("Skipped"));
        tailnetOnly_->setVisible(false);
        showText(skipTailscale_, QStringLiteral("Use Tailscale"));
        skipTailscale_->setVisible(true);
    } else {
        if (p_.tailscaleInstalled) {
            showText(tailscale_.detail,
                     QStringLiteral("Connect this computer: run \u201ctailscale up\u201d in a terminal and "
                                    "sign in. Also sign in on the iPhone."));
            state(tailscale_, false, QString());
            tailscale_.button->setVisible(false);
        } else {
            showText(tailscale_.detail,
                     QStringLiteral("A free private network, so your iPhone reaches this computer from "
                                    "anywhere. Also install it on the iPhone."));
            state(tailscale_, false, QString());
        }
        showText(skipTailscale_, QStringLiteral("Skip: local network only"));
        skipTailscale_->setVisible(true);
        tailnetOnly_->setVisible(true);
    }

    showText(audio_.detail,
             p_.audioInstalled
                 ? QStringLiteral("This computer's sound plays on the iPhone; the iPhone's microphone is "
                                  "this computer's microphone.")
                 : QStringLiteral("Adds Tarvello Speakers and Tarvello Microphone to this computer's sound "
                                  "devices."));
    state(audio_, p_.audioInstalled, QStringLiteral("Installed"));

    if (p_.cameraActivating)
        showText(camera_.detail, QStringLiteral("Installing Tarvello Camera\u2026"));
    else if (p_.cameraNote)
        showText(camera_.detail, QString::fromStdString(*p_.cameraNote));
    else
        showText(camera_.detail,
                 p_.cameraInstalled
                     ? QStringLiteral("Applications can pick Tarvello Camera to use the iPhone's camera.")
                     : QStringLiteral("Adds Tarvello Camera, which applications can pick like any camera."));
    state(camera_, p_.cameraInstalled, QStringLiteral("Installed"));
    showText(camera_.button, p_.cameraNote ? QStringLiteral("Try Again") : QStringLiteral("Install"));
    camera_.button->setEnabled(!p_.cameraActivating);

    // Where the desktop has no Stage Manager, neither the row nor its button can help.
    stage_.shell->setVisible(p_.stageManagerAvailable);
    showText(stage_.detail,
             p_.stageManagerReady
                 ? QStringLiteral("Turns on while the iPhone is connected (switch in the menu).")
                 : QStringLiteral("Adds two shortcuts so Tarvello can turn Stage Manager on "
                                  "and off. Click \u201cAdd Shortcut\u201d twice."));
    state(stage_, p_.stageManagerReady, QStringLiteral("Installed"));

    {
        const QSignalBlocker block(loginItem_);
        loginItem_->setChecked(p_.loginItem);
    }

    relaunch_->setVisible(p_.screenNeedsRelaunch);
    footerButton_->setVisible(!p_.screenNeedsRelaunch);
    if (p_.screenNeedsRelaunch) {
        showText(footerText_, QStringLiteral("Relaunch to show this computer's screen."));
    } else if (p_.essentialsDone()) {
        showText(footerText_, p_.tailscaleIP ? QStringLiteral("All set. Enter ") +
                                                   QString::fromStdString(*p_.tailscaleIP) +
                                                   QStringLiteral(" and the code on your iPhone.")
                                             : QStringLiteral("All set. Enter this computer's address and "
                                                              "the code on your iPhone."));
        showText(footerButton_, QStringLiteral("Done"));
        footerButton_->setDefault(true);
    } else {
        showText(footerText_, QStringLiteral("Tarvello keeps running: open it from its tray icon, or start "
                                             "it again."));
        showText(footerButton_, QStringLiteral("Later"));
        footerButton_->setDefault(false);
    }
}

}  // namespace tarvello
