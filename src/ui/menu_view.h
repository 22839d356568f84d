#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QToolButton;
class QVBoxLayout;

namespace tarvello {

class Permissions;
class ServerState;

// What the menu's controls set off beyond writing their setting. Called on the main thread.
class MenuActions {
public:
    virtual ~MenuActions() = default;
    virtual void restartSession() = 0;
    virtual void keepUnlockedChanged() = 0;
    virtual void stageManagerSwitched(bool on) = 0;
    virtual void showDockSwitched(bool on) = 0;
    // The lid switch blocks on tools and a password prompt, so it runs elsewhere; `done`
    // receives the state the system reports, on any thread.
    virtual void readLidAwake(std::function<void(bool)> done) = 0;
    virtual void setLidAwake(bool enabled, std::function<void(bool)> done) = 0;
    // Why a switch cannot work on this desktop; nothing when it can.
    virtual std::optional<std::string> stageManagerUnavailable() = 0;
    virtual std::optional<std::string> dockUnavailable() = 0;
    virtual void quit() = 0;
};

// The tray's window: status, pairing code and the user's switches. Follows ServerState
// and Permissions while it exists; reload() re-reads the settings (each time it opens).
class MenuView : public QWidget {
public:
    MenuView(ServerState& state, Permissions& p, std::shared_ptr<MenuActions> actions,
             QWidget* parent = nullptr);
    ~MenuView() override;

    void reload();

private:
    void build();
    void stateChanged();
    void permissionsChanged();
    QCheckBox* addSwitch(QVBoxLayout* layout, const char* name, const QString& text, const char* icon);
    void bindSetting(QCheckBox* box, const char* key, std::function<void(bool)> followUp);

    ServerState& state_;
    Permissions& p_;
    std::shared_ptr<MenuActions> actions_;
    int stateObserver_ = 0, permissionsObserver_ = 0, settingsObserver_ = 0;

    QPushButton* warning_ = nullptr;
    QLabel* alert_ = nullptr;
    QLabel* notEncrypted_ = nullptr;
    QLabel* dot_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* stats_ = nullptr;
    QLabel* address_ = nullptr;
    QLabel* code_ = nullptr;
    QCheckBox* tailnetOnly_ = nullptr;
    QComboBox* textSize_ = nullptr;
    QComboBox* commandKey_ = nullptr;
    QComboBox* displayChoice_ = nullptr;
    QCheckBox *sound_ = nullptr, *mic_ = nullptr, *cam_ = nullptr;
    QCheckBox *stage_ = nullptr, *dock_ = nullptr;
    QLabel* whileConnected_ = nullptr;
    QCheckBox *unlocked_ = nullptr, *lidAwake_ = nullptr, *loginItem_ = nullptr;
    QToolButton* developer_ = nullptr;
    QWidget* developerGroup_ = nullptr;
    QCheckBox *mirror_ = nullptr, *cursor_ = nullptr;
    QSlider* maxBitrate_ = nullptr;
    QLabel* maxBitrateLabel_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
};

}  // namespace tarvello
