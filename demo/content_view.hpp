#pragma once
// ContentView: the demo's one window: the form, the waiting overlay and the alert.

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include "demo_model.hpp"

namespace tessaro {
class TessaroButton;
}

namespace tessaro::demo {

// The dots shown for a hidden password: one per user-perceived character, at least 8, at most 24.
QString passwordDots(const QString& password);

// The overlay shown while the model waits: a 15 % black backdrop over the whole window, painted
// by the widget itself, with a centred rounded card.
class WaitingOverlay : public QWidget {
    Q_OBJECT

public:
    WaitingOverlay(DemoModel& model, QWidget* parent);
    void update(const std::optional<TessaroWaiting>& waiting);
    QString message() const { return message_->text(); }
    QString expiry() const { return expiry_->isVisible() ? expiry_->text() : QString(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* card_;
    QLabel* message_;
    QLabel* expiry_;
};

// Everything the window shows, laid out as the form's six sections. Lives on the GUI thread.
class ContentView : public QWidget {
    Q_OBJECT

public:
    explicit ContentView(DemoModel& model, QWidget* parent = nullptr);

    // The fields and controls, for tests and automation (each also has an object name).
    QLineEdit* hintField() const { return hintURL_; }
    QLineEdit* vaultField() const { return vaultID_; }
    QLineEdit* newPasswordField() const { return newPassword_; }
    QPushButton* updateButton() const { return update_; }
    QPushButton* createButton() const { return create_; }
    TessaroButton* pickButton() const { return pick_; }
    QLabel* passwordLabel() const { return password_; }
    QPushButton* revealButton() const { return reveal_; }
    QLabel* vaultsLabel() const { return vaults_; }
    WaitingOverlay* overlay() const { return overlay_; }
    QMessageBox* alert() const { return alert_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // One builder per section of the form, each returning its group box; the overlay goes over
    // the whole window.
    QWidget* buildSettings(QWidget* form);
    QWidget* buildAuthorization(QWidget* form);
    QWidget* buildPicking(QWidget* form);
    QWidget* buildCreating(QWidget* form);
    QWidget* buildUpdating(QWidget* form);
    QWidget* buildStatus(QWidget* form);
    void buildOverlay();

    void refreshAuthorization();
    void refreshPicked();
    void refreshEnabled();
    void refreshFailure();

    DemoModel& model_;
    bool shownOnce_ = false;
    bool revealed_ = false;  // the picked password shown in full

    QLineEdit* origin_;
    QLineEdit* clientID_;
    QWidget* authorized_;
    QWidget* unauthorized_;
    QLabel* grantID_;
    QLabel* fingerprint_;
    QLabel* vaults_;
    QLineEdit* hintURL_;
    TessaroButton* pick_;
    QWidget* pickedBox_;
    QLabel* title_;
    QLabel* username_;
    QLabel* password_;
    QPushButton* reveal_;
    QLabel* url_;
    QLabel* kind_;
    QLineEdit* newTitle_;
    QLineEdit* newURL_;
    QLineEdit* newUsername_;
    QPushButton* create_;
    QLineEdit* vaultID_;
    QLineEdit* newPassword_;
    QPushButton* update_;
    QWidget* statusBox_;
    QLabel* status_;
    WaitingOverlay* overlay_;
    QPointer<QMessageBox> alert_;
};

}  // namespace tessaro::demo
