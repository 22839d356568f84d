#include "ui/onboarding_view.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/permissions.h"
#include "ui/ui_style.h"

namespace tarvello {

namespace {

const QString kAccent = QStringLiteral("rgb(255,181,71)");  // sRGB (1.0, 0.71, 0.28)

QString brandButtonStyle(bool prominent) {
    return prominent ? QStringLiteral(
                           "QPushButton { background: %1; color: #1a1206; font-weight: 600;"
                           " border: none; border-radius: 7px; padding: 6px 16px; }")
                           .arg(kAccent)
                     : QStringLiteral(
                           "QPushButton { background: rgba(255,255,255,0.12); color: white;"
                           " border: none; border-radius: 7px; padding: 6px 14px; }");
}

void showText(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

}  // namespace

OnboardingView::OnboardingView(Permissions& p, std::function<void()> close, QWidget* parent)
    : QWidget(parent), p_(p), close_(std::move(close)) {
    setObjectName(QStringLiteral("onboarding"));
    setFixedSize(560, 820);
    setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QLabel { color: white; } QCheckBox { color: white; }"));

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(36, 40, 36, 28);
    root->setSpacing(14);

    auto* title = new QLabel(QStringLiteral("Tarvello"));
    title->setObjectName(QStringLiteral("title"));
    title->setStyleSheet(QStringLiteral("font-size: 28px; font-weight: 700;"));
    root->addWidget(title);
    auto* intro = new QLabel(QStringLiteral(
        "Your iPhone becomes this Mac's screen, keyboard and trackpad.\nSet this up once and you're done."));
    intro->setObjectName(QStringLiteral("intro"));
    intro->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.75); font-size: 13px;"));
    root->addWidget(intro);
    root->addSpacing(8);

    screen_ = addRow(root, "screen", "rectangle.dashed.badge.record", QStringLiteral("Screen Recording"));
    screen_.detail->setText(QStringLiteral("Sends the Mac's picture to the iPhone."));
    screen_.button->setText(QStringLiteral("Allow"));
    connect(screen_.button, &QPushButton::clicked, this, [this] { p_.requestScreen(); });

    accessibility_ =
        addRow(root, "accessibility", "hand.point.up.left.fill", QStringLiteral("Accessibility"));
    accessibility_.detail->setText(
        QStringLiteral("Lets the iPhone's keyboard and trackpad control the Mac."));
    accessibility_.button->setText(QStringLiteral("Allow"));
    connect(accessibility_.button, &QPushButton::clicked, this, [this] { p_.requestAccessibility(); });

    tailscale_ = addRow(root, "tailscale", "network", QStringLiteral("Tailscale"));
    connect(tailscale_.button, &QPushButton::clicked, this, [this] {
        if (p_.tailscaleInstalled)
            p_.openTailscale();
        else
            p_.openTailscaleStore();
    });

    audio_ = addRow(root, "audio", "speaker.wave.2.fill", QStringLiteral("Sound & microphone"));
    audio_.button->setText(QStringLiteral("Install"));
    connect(audio_.button, &QPushButton::clicked, this, [this] { p_.installAudio(); });

    camera_ = addRow(root, "camera", "web.camera.fill", QStringLiteral("Camera"));
    connect(camera_.button, &QPushButton::clicked, this, [this] { p_.installCamera(); });

    stage_ = addRow(root, "stageManager", "rectangle.split.3x1.fill", QStringLiteral("Stage Manager"));
    stage_.button->setText(QStringLiteral("Add"));
    connect(stage_.button, &QPushButton::clicked, this, [this] { p_.setupStageManager(); });

    // The login item row: a switch instead of a button.
    {
        auto* row = new QHBoxLayout;
        auto* text = new QVBoxLayout;
        auto* t = new QLabel(QStringLiteral("Open at login"));
        t->setStyleSheet(QStringLiteral("font-weight: 600; font-size: 14px;"));
        auto* d = new QLabel(QStringLiteral("Tarvello starts with your Mac."));
        d->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.65); font-size: 12px;"));
        text->addWidget(t);
        text->addWidget(d);
        auto* icon = new QLabel;
        icon->setFixedSize(28, 28);
        icon->setPixmap(ui::symbolIcon("power").pixmap(24, 24));
        loginItem_ = new QCheckBox;
        loginItem_->setObjectName(QStringLiteral("loginItem"));
        row->addWidget(icon);
        row->addLayout(text, 1);
        row->addWidget(loginItem_);
        root->addLayout(row);
        connect(loginItem_, &QCheckBox::toggled, this, [this](bool on) { p_.setLoginItem(on); });
    }

    root->addStretch(1);
    footerText_ = new QLabel;
    footerText_->setObjectName(QStringLiteral("footerText"));
    footerText_->setWordWrap(true);
    auto* footer = new QHBoxLayout;
    footer->addWidget(footerText_, 1);
    relaunch_ = new QPushButton(QStringLiteral("Relaunch Tarvello"));
    relaunch_->setObjectName(QStringLiteral("relaunch"));
    relaunch_->setStyleSheet(brandButtonStyle(true));
    connect(relaunch_, &QPushButton::clicked, this, [this] { p_.relaunch(); });
    footerButton_ = new QPushButton;
    footerButton_->setObjectName(QStringLiteral("footerButton"));
    connect(footerButton_, &QPushButton::clicked, this, [this] {
        if (close_) close_();
    });
    footer->addWidget(relaunch_);
    footer->addWidget(footerButton_);
    root->addLayout(footer);

    observer_ = p_.observe([this] { refreshRows(); });
    refreshRows();
}

OnboardingView::~OnboardingView() {
    p_.unobserve(observer_);
}

OnboardingView::Row OnboardingView::addRow(QVBoxLayout* layout, const char* name, const char* symbol,
                                           const QString& title) {
    Row r;
    auto* shell = new QWidget;
    shell->setObjectName(QString::fromLatin1(name) + QStringLiteral("Row"));
    shell->setAttribute(Qt::WA_StyledBackground);
    shell->setStyleSheet(QStringLiteral("#%1 { background: rgba(255,255,255,0.06); border-radius: 10px; }")
                             .arg(shell->objectName()));
    auto* row = new QHBoxLayout(shell);
    row->setContentsMargins(12, 10, 12, 10);
    auto* icon = new QLabel;
    icon->setFixedSize(28, 28);
    icon->setPixmap(ui::symbolIcon(symbol).pixmap(24, 24));
    auto* text = new QVBoxLayout;
    auto* t = new QLabel(title);
    t->setStyleSheet(QStringLiteral("font-weight: 600; font-size: 14px;"));
    r.detail = new QLabel;
    r.detail->setObjectName(QString::fromLatin1(name) + QStringLiteral("Detail"));
    r.detail->setWordWrap(true);
    r.detail->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.65); font-size: 12px;"));
    text->addWidget(t);
    text->addWidget(r.detail);
    r.done = new QLabel;
    r.done->setObjectName(QString::fromLatin1(name) + QStringLiteral("Done"));
    r.done->setStyleSheet(QStringLiteral("color: rgb(52,199,89); font-weight: 600;"));
    r.button = new QPushButton;
    r.button->setObjectName(QString::fromLatin1(name) + QStringLiteral("Button"));
    r.button->setStyleSheet(brandButtonStyle(false));
    row->addWidget(icon);
    row->addLayout(text, 1);
    row->addWidget(r.done);
    row->addWidget(r.button);
    layout->addWidget(shell);
    return r;
}

void OnboardingView::refreshRows() {
    const QString check = QStringLiteral("\u2713 ");
    auto state = [&](Row& r, bool done, const QString& doneText) {
        r.done->setVisible(done);
        r.button->setVisible(!done);
        showText(r.done, check + doneText);
    };
    state(screen_, p_.screen, QStringLiteral("Allowed"));
    showText(screen_.detail, p_.screenUnavailable ? QString::fromStdString(*p_.screenUnavailable)
                                                  : QStringLiteral("Sends the Mac's picture to the iPhone."));
    state(accessibility_, p_.accessibility, QStringLiteral("Allowed"));

    if (p_.tailscaleIP) {
        showText(tailscale_.detail, QStringLiteral("Connected. Your iPhone reaches this Mac from anywhere."));
        state(tailscale_, true, QString::fromStdString(*p_.tailscaleIP));
    } else {
        state(tailscale_, false, QString());
        if (p_.tailscaleInstalled) {
            showText(tailscale_.detail, QStringLiteral("Open Tailscale and sign in to connect this Mac."));
            tailscale_.button->setText(QStringLiteral("Open"));
        } else {
            showText(tailscale_.detail,
                     QStringLiteral("Free private network so your iPhone reaches this Mac anywhere. "
                                    "Also install it on the iPhone."));
            tailscale_.button->setText(QStringLiteral("Install"));
        }
    }

    showText(
        audio_.detail,
        p_.audioInstalled
            ? QStringLiteral("Mac sound plays on the iPhone; its mic is the Mac's microphone.")
            : QStringLiteral("Adds Tarvello Speakers and Tarvello Microphone (asks for your password)."));
    state(audio_, p_.audioInstalled, QStringLiteral("Installed"));

    if (p_.cameraNote)
        showText(camera_.detail, QString::fromStdString(*p_.cameraNote));
    else
        showText(camera_.detail,
                 p_.cameraInstalled
                     ? QStringLiteral("Apps can pick Tarvello Camera to use the iPhone's camera.")
                     : QStringLiteral("Adds Tarvello Camera. Then approve it in System Settings."));
    state(camera_, p_.cameraInstalled, QStringLiteral("Installed"));
    camera_.button->setText(p_.cameraNote ? QStringLiteral("Open Settings") : QStringLiteral("Install"));

    showText(stage_.detail,
             p_.stageManagerReady
                 ? QStringLiteral("Turns on while the iPhone is connected (switch in the menu).")
                 : QStringLiteral("Adds two shortcuts so Tarvello can turn Stage Manager on and off. "
                                  "Click \u201cAdd Shortcut\u201d twice."));
    state(stage_, p_.stageManagerReady, QStringLiteral("Installed"));

    {
        const QSignalBlocker block(loginItem_);
        loginItem_->setChecked(p_.loginItem);
    }

    relaunch_->setVisible(p_.screenNeedsRelaunch);
    footerButton_->setVisible(!p_.screenNeedsRelaunch);
    if (p_.screenNeedsRelaunch) {
        showText(footerText_, QStringLiteral("Relaunch to turn on screen capture."));
    } else if (p_.essentialsDone()) {
        showText(footerText_, QStringLiteral("All set. Enter ") + QString::fromStdString(*p_.tailscaleIP) +
                                  QStringLiteral(" and the code on your iPhone."));
        footerButton_->setText(QStringLiteral("Done"));
        footerButton_->setStyleSheet(brandButtonStyle(true));
    } else {
        showText(footerText_, QStringLiteral("Tarvello stays in the menu bar."));
        footerButton_->setText(QStringLiteral("Later"));
        footerButton_->setStyleSheet(brandButtonStyle(false));
    }
}

void OnboardingView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0.0, QColor::fromRgbF(0.06f, 0.09f, 0.20f));
    gradient.setColorAt(1.0, QColor::fromRgbF(0.02f, 0.03f, 0.08f));
    painter.fillRect(rect(), gradient);
}

}  // namespace tarvello
