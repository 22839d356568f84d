#pragma once

#include <QWidget>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace tarvello {

class Permissions;

// The one-time setup: a row per permission and component, and a footer that offers the
// relaunch once screen capture was granted. Follows Permissions while it exists.
class OnboardingView : public QWidget {
public:
    OnboardingView(Permissions& p, std::function<void()> close, QWidget* parent = nullptr);
    ~OnboardingView() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Row {
        QLabel* detail = nullptr;
        QLabel* done = nullptr;  // the granted or installed state
        QPushButton* button = nullptr;
    };
    Row addRow(QVBoxLayout* layout, const char* name, const char* symbol, const QString& title);
    void refreshRows();

    Permissions& p_;
    std::function<void()> close_;
    int observer_ = 0;
    Row screen_, accessibility_, tailscale_, audio_, camera_, stage_;
    QCheckBox* loginItem_ = nullptr;
    QLabel* footerText_ = nullptr;
    QPushButton* footerButton_ = nullptr;
    QPushButton* relaunch_ = nullptr;
};

}  // namespace tarvello
