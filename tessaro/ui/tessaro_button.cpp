#include <tessaro/ui/tessaro_button.hpp>

#include <QIcon>

// The resource is compiled into the library; a static library needs its initialiser called once.
static void initialiseTessaroResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(tessaro_ui);
        return true;
    }();
    (void)done;
}

namespace tessaro {

struct TESSARO_QT_NO_EXPORT TessaroButton::Impl {
    std::function<void()> action;
};

TessaroButton::TessaroButton(const QString& title, std::function<void()> action, QWidget* parent)
    : QPushButton(parent), impl_(new Impl{std::move(action)}) {
    initialiseTessaroResources();
    setObjectName(QStringLiteral("tessaro.button"));
    setIcon(QIcon(QStringLiteral(":/tessaro/key.svg")));
    setTitle(title);
    connect(this, &QPushButton::clicked, this, [this] {
        if (impl_->action) impl_->action();
    });
}

TessaroButton::~TessaroButton() = default;

void TessaroButton::setTitle(const QString& title) {
    setText(title);
    setAccessibleName(title);
}

QString TessaroButton::title() const { return text(); }

}  // namespace tessaro
