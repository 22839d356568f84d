#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QSvgRenderer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <asio/io_context.hpp>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/permissions.h"
#include "app/server_state.h"
#include "app/stage_manager.h"
#include "base/log.h"
#include "base/notification_center.h"
#include "base/settings.h"
#include "server/server.h"
#include "ui/menu_view.h"
#include "ui/onboarding_view.h"
#include "ui/tray.h"

// Resources of a static library are registered by hand, outside any namespace.
static void initTrayResources() {
    Q_INIT_RESOURCE(icons);
}

namespace tarvello {

namespace {

// Set by quitTrayApplication, also before the application exists: a stop signal that
// comes during the launch must still end it.
std::atomic<bool> quitRequested{false};

// The process's main queue runs inside Qt's event loop: its work shares the thread with
// the windows, so the status model is written and read on one thread.
void serveMainQueue() {
    mainQueue().context().poll();
}

QTimer* startMainQueuePump(QObject* parent) {
    auto* timer = new QTimer(parent);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, &serveMainQueue);
    timer->start(8);
    return timer;
}

QIcon svgIcon(const QString& path) {
    QSvgRenderer renderer(path);
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

class AppMenuActions final : public MenuActions {
public:
    AppMenuActions(std::shared_ptr<Server> server, std::shared_ptr<StageManager> stage)
        : server_(std::move(server)), stage_(std::move(stage)) {}
    ~AppMenuActions() override { work_.stop(); }

    void restartSession() override { server_->restartSession(); }
    void keepUnlockedChanged() override { server_->keepUnlockedChanged(); }
    void stageManagerSwitched(bool on) override {
        if (!on) {
            stage_->stageManagerOff();
            return;
        }
        server_->stageManagerChanged();
        work_.async([stage = stage_] {
            if (stage->installedShortcuts().size() < 2) stage->installMissingShortcuts();
        });
    }
    void showDockSwitched(bool on) override {
        if (on)
            server_->showDockChanged();
        else
            stage_->restoreDock();
    }
    void readLidAwake(std::function<void(bool)> done) override {
        work_.async([server = server_, done = std::move(done)] { done(server->lidAwakeEnabled()); });
    }
    void setLidAwake(bool enabled, std::function<void(bool)> done) override {
        work_.async(
            [server = server_, enabled, done = std::move(done)] { done(server->setLidAwake(enabled)); });
    }
    std::optional<std::string> stageManagerUnavailable() override {
        return stage_->stageManagerUnavailableReason();
    }
    std::optional<std::string> dockUnavailable() override { return stage_->dockUnavailableReason(); }
    void quit() override { QCoreApplication::quit(); }

private:
    std::shared_ptr<Server> server_;
    std::shared_ptr<StageManager> stage_;
    SerialQueue work_{"tarvello.menu"};
};

// The tray icon, the menu window and the onboarding window.
class TrayApp {
public:
    TrayApp(std::shared_ptr<Permissions> permissions, std::shared_ptr<MenuActions> actions)
        : permissions_(std::move(permissions)), actions_(std::move(actions)) {
        initTrayResources();
        connectedIcon_ = svgIcon(QStringLiteral(":/icons/connected.svg"));
        disconnectedIcon_ = svgIcon(QStringLiteral(":/icons/disconnected.svg"));
        QApplication::setWindowIcon(connectedIcon_);

        const bool trayShown = QSystemTrayIcon::isSystemTrayAvailable();
        // Beside a tray icon the window is its popup: it opens at the icon and closes
        // when the user clicks elsewhere. Without one it is an ordinary window.
        menuWindow_ = new QWidget(nullptr, trayShown ? Qt::Popup : Qt::Window);
        menuWindow_->setObjectName(QStringLiteral("menuWindow"));
        menuWindow_->setWindowTitle(QStringLiteral("Tarvello"));
        menuWindow_->installEventFilter(&closedAt_);
        auto* layout = new QVBoxLayout(menuWindow_);
        layout->setContentsMargins(0, 0, 0, 0);
        menu_ = new MenuView(ServerState::shared(), *permissions_, actions_);
        layout->addWidget(menu_);
        layout->setSizeConstraint(QLayout::SetFixedSize);

        if (trayShown) {
            tray_ = new QSystemTrayIcon(disconnectedIcon_);
            tray_->setToolTip(QStringLiteral("Tarvello"));
            auto* context = new QMenu;
            context->addAction(QStringLiteral("Open Tarvello"), [this] { showMenu(); });
            context->addAction(QStringLiteral("Set Up\u2026"), [this] { showOnboarding(); });
            context->addSeparator();
            context->addAction(QStringLiteral("Quit"), [] { QCoreApplication::quit(); });
            tray_->setContextMenu(context);
            contextMenu_ = context;
            QObject::connect(tray_, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason r) {
                if (r != QSystemTrayIcon::Trigger && r != QSystemTrayIcon::DoubleClick) return;
                // The click on the icon that closed the popup arrives here next: it must
                // not open it again.
                if (menuWindow_->isVisible() || closedAt_.justClosed())
                    menuWindow_->hide();
                else
                    showMenu();
            });
            tray_->show();
        } else {
            // Without a tray the menu is an ordinary window, so the application is never invisible.
            showMenu();
        }
        stateObserver_ = ServerState::shared().observe([this] { updateIcon(); });
        updateIcon();
    }

    ~TrayApp() {
        ServerState::shared().unobserve(stateObserver_);
        delete tray_;
        delete contextMenu_;
        delete menuWindow_;
        delete onboardingWindow_;
    }

    void showMenu() {
        menu_->reload();
        if (tray_) {
            // Beside the tray icon where the panel says where it is, else at the pointer.
            QRect anchor = tray_->geometry();
            if (!anchor.isValid()) anchor = QRect(QCursor::pos(), QSize(1, 1));
            QPoint at = anchor.bottomLeft();
            if (QScreen* screen = QGuiApplication::screenAt(anchor.center())) {
                const QRect area = screen->availableGeometry();
                const QSize size = menuWindow_->sizeHint();
                // A panel at the bottom of the screen opens the window upwards.
                if (anchor.center().y() > area.center().y()) at.setY(anchor.top() - size.height());
                at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
                at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
            }
            menuWindow_->move(at);
        }
        menuWindow_->show();
        menuWindow_->raise();
        menuWindow_->activateWindow();
    }

    // Another start of the program: the menu window carries the code and Quit, and is the
    // only way back to them where there is no tray icon.
    void reopen() {
        showMenu();
        if (!permissions_->allDone()) showOnboarding();
    }

    void showOnboarding() {
        if (menuWindow_->windowType() == Qt::Popup) menuWindow_->hide();
        if (!onboardingWindow_) {
            onboardingWindow_ = new QWidget;
            onboardingWindow_->setWindowTitle(QStringLiteral("Tarvello"));
            auto* layout = new QVBoxLayout(onboardingWindow_);
            layout->setContentsMargins(0, 0, 0, 0);
            QPointer<QWidget> window(onboardingWindow_);
            layout->addWidget(new OnboardingView(*permissions_, [window] {
                if (window) window->hide();
            }));
            QSize size(560, 780);
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                const QRect area = screen->availableGeometry();
                size = size.boundedTo(area.size() - QSize(40, 60));
                onboardingWindow_->resize(size);
                onboardingWindow_->move(area.center() - onboardingWindow_->rect().center());
            } else {
                onboardingWindow_->resize(size);
            }
        }
        onboardingWindow_->show();
        onboardingWindow_->raise();
        onboardingWindow_->activateWindow();
    }

private:
    void updateIcon() {
        if (!tray_) return;
        const ServerState& state = ServerState::shared();
        const bool connected = state.client.has_value();
        tray_->setIcon(connected ? connectedIcon_ : disconnectedIcon_);
        tray_->setToolTip(connected ? QStringLiteral("Tarvello: ") + QString::fromStdString(state.status)
                                    : QStringLiteral("Tarvello"));
    }

    // Notes when the popup last closed.
    class ClosedAt : public QObject {
    public:
        bool justClosed() const { return timer_.isValid() && timer_.elapsed() < 300; }

    protected:
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Hide) timer_.start();
            return false;
        }

    private:
        QElapsedTimer timer_;
    };

    std::shared_ptr<Permissions> permissions_;
    std::shared_ptr<MenuActions> actions_;
    QIcon connectedIcon_, disconnectedIcon_;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* contextMenu_ = nullptr;
    QWidget* menuWindow_ = nullptr;
    MenuView* menu_ = nullptr;
    QWidget* onboardingWindow_ = nullptr;  // made when first shown, then kept
    ClosedAt closedAt_;
    int stateObserver_ = 0;
};

// The single-instance socket's path: only in the user's private runtime directory, where
// no other user can take the name first or answer in our place.
std::optional<QString> instanceSocketPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/') {
        log("XDG_RUNTIME_DIR is not set: starting Tarvello again will not find this copy");
        return std::nullopt;
    }
    struct stat st {};
    if (::stat(runtime, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 0777) != 0700) {
        log(std::string("XDG_RUNTIME_DIR (") + runtime +
            ") is not a private directory of this user: starting Tarvello again will not find this copy");
        return std::nullopt;
    }
    return QString::fromUtf8(runtime) + QLatin1Char('/') + QString::fromStdString(name);
}

// True when another copy answered and was asked to show its windows.
bool handOverToRunningCopy(const QString& name) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(500)) return false;
    socket.write("reopen\n");
    socket.waitForBytesWritten(500);
    socket.disconnectFromServer();
    return true;
}

}  // namespace

int runTrayApplication(int argc, char** argv, TrayOptions options) {
    // Our options are not Qt's: Qt would take "--platform" for its own.
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    // libatspi hangs its per-application connections on GLib's default context, which
    // its own thread drives; a GLib event loop here would dispatch them concurrently.
    setenv("QT_NO_GLIB", "1", 1);
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("Tarvello"));
    QApplication::setQuitOnLastWindowClosed(false);

    if (quitRequested) return 0;

    const auto instance = instanceSocketPath(options.instanceName);
    if (instance && handOverToRunningCopy(*instance)) {
        std::puts("Tarvello is already running: showing its window");
        return 0;
    }
    QLocalServer reopenServer;
    bool listening = false;
    if (instance) {
        QLocalServer::removeServer(*instance);  // a socket left by a copy that crashed
        reopenServer.setSocketOptions(QLocalServer::UserAccessOption);
        listening = reopenServer.listen(*instance);
    }

    QTimer* pump = startMainQueuePump(&app);
    auto services = options.start();
    if (!services) return 1;

    auto permissions = Permissions::create(services->setup, mainQueue());
    auto actions = std::make_shared<AppMenuActions>(services->server, services->stageManager);
    auto tray = std::make_unique<TrayApp>(permissions, actions);

    if (listening) {
        QObject::connect(&reopenServer, &QLocalServer::newConnection, [&] {
            while (QLocalSocket* c = reopenServer.nextPendingConnection()) {
                QObject::connect(c, &QLocalSocket::disconnected, c, &QObject::deleteLater);
                tray->reopen();
            }
        });
    }

    QTimer::singleShot(0, [&] {
        permissions->startRefreshing();
        SettingsStore& d = Settings::shared().d();
        if (!d.getBool(SettingsKey::loginItemConfigured).value_or(false)) {
            d.setBool(SettingsKey::loginItemConfigured, true);
            permissions->setLoginItem(true);
        }
        if (!permissions->allDone()) {
            tray->showOnboarding();
            permissions->installMissing();
        }
    });
    const int onboardingObserver =
        NotificationCenter::shared().observe(Notification::showOnboarding, [&] { tray->showOnboarding(); });

    // A stop asked for during the launch: exec() runs the queued quit at once.
    if (quitRequested) quitTrayApplication();
    const int status = app.exec();

    NotificationCenter::shared().unobserve(onboardingObserver);
    reopenServer.close();
    // Stopping waits on work the main queue must run, so keep serving it meanwhile.
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        options.stop();
        stopped = true;
    });
    while (!stopped) {
        serveMainQueue();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stopper.join();
    pump->stop();
    tray.reset();
    actions.reset();
    permissions.reset();
    return status;
}

void quitTrayApplication() {
    quitRequested = true;
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------
// Sample state for the README's pictures

namespace {

class SampleSetup final : public SetupSystem {
public:
    bool screenAllowed() override { return true; }
    bool accessibilityTrusted() override { return true; }
    bool loginItemEnabled() override { return true; }
    std::optional<std::string> setLoginItem(bool) override { return std::nullopt; }
    bool tailscaleInstalled() override { return true; }
    std::vector<std::string> tailscaleAddresses() override { return {"100.101.102.103"}; }
    bool audioInstalled() override { return true; }
    bool audioPluginsPresent() override { return true; }
    void installAudio() override {}
    CameraActivation& camera() override { return camera_; }
    std::set<std::string> installedShortcuts() override { return {}; }
    void installMissingShortcuts() override {}
    void openUrl(const std::string&) override {}
    bool openTailscaleApp() override { return true; }
    void relaunch() override {}
    void quit() override {}
    DesktopShown desktopShown() override { return {"Your GNOME desktop", std::nullopt}; }
    bool stageManagerAvailable() override { return false; }
    bool dockAvailable() override { return false; }

private:
    MissingCameraActivation camera_;
};

class SampleActions final : public MenuActions {
public:
    void restartSession() override {}
    void keepUnlockedChanged() override {}
    void stageManagerSwitched(bool) override {}
    void showDockSwitched(bool) override {}
    void readLidAwake(std::function<void(bool)> done) override { done(false); }
    void setLidAwake(bool, std::function<void(bool)> done) override { done(false); }
    std::optional<std::string> stageManagerUnavailable() override {
        return "This desktop has no Stage Manager to switch";
    }
    std::optional<std::string> dockUnavailable() override { return "This desktop has no Dock to show"; }
    void quit() override {}
};

void printTexts(const char* window, QWidget* root) {
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root)) continue;
        QString text;
        if (auto* label = qobject_cast<QLabel*>(w))
            text = label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            text = button->text();
        if (!text.isEmpty()) std::printf("%s: %s\n", window, text.toUtf8().constData());
    }
}

bool saveGrab(QWidget* window, const QString& file) {
    window->show();
    QCoreApplication::processEvents();
    const bool saved = window->grab().save(file, "PNG");
    window->hide();
    return saved;
}

// The pictures show a desktop's light and dark palettes, not the palette of the
// machine that draws them.
QPalette samplePalette(bool dark) {
    QPalette p = QApplication::style()->standardPalette();
    if (!dark) return p;
    const QColor window(0x30, 0x30, 0x30), base(0x24, 0x24, 0x24), text(0xee, 0xee, 0xee);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x3a, 0x3a, 0x3a));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x44, 0x44, 0x44));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0xa0, 0xa0, 0xa0));
    p.setColor(QPalette::Mid, QColor(0x58, 0x58, 0x58));
    p.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    return p;
}

}  // namespace

int renderScreenshots(int argc, char** argv, const std::string& dir) {
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    QDir().mkpath(QString::fromStdString(dir));
    auto store = std::make_shared<MemoryStore>();
    store->setString(SettingsKey::token, "042917");
    Settings::useStore(store);

    ServerState state;
    state.status = "Connected: Ada\u2019s iPhone";
    state.client = "Ada\u2019s iPhone";
    state.fps = 60;
    state.mbps = 18.4;
    state.codec = "HEVC";
    state.resolution = "1178\u00d72556 @60";
    for (const char* line :
         {"10:04:12.518  Control listening on TCP 47800", "10:04:12.518  Video listening on UDP 47801",
          "10:04:12.519  Code: 042917 \u00b7 Tailscale: 100.101.102.103",
          "10:04:31.202  Hello from Ada\u2019s iPhone: 1178\u00d72556 @60",
          "10:04:31.410  Encoder: HEVC 1178\u00d72556 @60, 40 Mb/s"})
        state.lines.emplace_back(line);

    auto permissions = Permissions::create(std::make_shared<SampleSetup>(), mainQueue());
    const QString base = QString::fromStdString(dir) + QLatin1Char('/');
    bool ok = true;
    for (const bool dark : {false, true}) {
        QApplication::setPalette(samplePalette(dark));
        const QString suffix = dark ? QStringLiteral("-dark.png") : QStringLiteral(".png");

        QWidget menuWindow;
        auto* layout = new QVBoxLayout(&menuWindow);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* menu = new MenuView(state, *permissions, std::make_shared<SampleActions>());
        layout->addWidget(menu);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        if (auto* developer = menu->findChild<QToolButton*>(QStringLiteral("developer")))
            developer->setChecked(true);

        QWidget onboardingWindow;
        auto* onboardingLayout = new QVBoxLayout(&onboardingWindow);
        onboardingLayout->setContentsMargins(0, 0, 0, 0);
        onboardingLayout->addWidget(new OnboardingView(*permissions, [] {}));
        onboardingWindow.resize(560, 700);

        ok = saveGrab(&menuWindow, base + QStringLiteral("menu") + suffix) && ok;
        ok = saveGrab(&onboardingWindow, base + QStringLiteral("onboarding") + suffix) && ok;
        if (!dark) {
            printTexts("menu", &menuWindow);
            printTexts("onboarding", &onboardingWindow);
        }
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}

}  // namespace tarvello
