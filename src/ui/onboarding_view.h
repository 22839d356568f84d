#pragma once

#include <QWidget>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace tarvello {

class Permissions;

// The one-time setup: a row per part this computer needs, and a footer that offers the
// relaunch once the screen became available. Follows Permissions while it exists. The
// rows scroll, so the window fits a small screen at any height the user gives it.
class OnboardingView : public QWidget {
public:
    OnboardingView(Permissions& p, std::function<void()> close, QWidget* parent = nullptr);
    ~OnboardingView() override;

private:
    struct Row {
        QWidget* shell = nullptr;
        QLabel* detail = nullptr;
        QLabel* done = nullptr;  // the ready or installed state
        QPushButton* button = nullptr;
    };
    Row addRow(QVBoxLayout* layout, const char* name, const char* icon, const QString& title);
    void refreshRows();

    Permissions& p_;
    std::function<void()> close_;
    int observer_ = 0, settingsObserver_ = 0;
    Row display_, input_, tailscale_, audio_, camera_, stage_;
    QPushButton* skipTailscale_ = nullptr;
    QCheckBox* tailnetOnly_ = nullptr;  // the menu has the same switch
    QCheckBox* loginItem_ = nullptr;
    QLabel* footerText_ = nullptr;
    QPushButton* footerButton_ = nullptr;
    QPushButton* relaunch_ = nullptr;
};

}  // namespace tarvello
