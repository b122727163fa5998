#pragma once
/// @file
/// TessaroButton: the kit's ready-made push button for picking from the vault.

#include <functional>
#include <memory>

#include <QPushButton>
#include <QString>

#include <tessaro/qt_export.hpp>

namespace tessaro {

/// A push button with `title` beside a key icon (an SVG shipped with the library, independent of
/// the icon theme) that runs `action` when pressed. Its object name is "tessaro.button", for tests
/// and automation; its accessible name is the title, which is what a screen reader speaks.
/// A QWidget: create and use it on the GUI thread only. Throws only std::bad_alloc; blocks on
/// nothing (the action runs on the GUI thread and must not block either).
class TESSARO_QT_EXPORT TessaroButton : public QPushButton {
    Q_OBJECT

public:
    /// A button showing `title` that runs `action` on each click (an empty action does nothing).
    TessaroButton(const QString& title, std::function<void()> action, QWidget* parent = nullptr);
    ~TessaroButton() override;

    /// Shows `title`, which also becomes the accessible name.
    void setTitle(const QString& title);
    /// The title shown.
    QString title() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro
