#include "THelpViewer.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QKeySequence>
#include <QShortcut>
#include <QVBoxLayout>

namespace tralux {

HelpBrowser::HelpBrowser(QWidget* parent) : QTextBrowser(parent) {
    setObjectName(QStringLiteral("browser"));
    setOpenLinks(true);
    setOpenExternalLinks(true);
}

QString HelpBrowser::MissingPageText(const QString& path) {
    return QStringLiteral("Cannot open help page \"") + path + QLatin1Char('"');
}

void HelpBrowser::doSetSource(const QUrl& name, QTextDocument::ResourceType type) {
    const QUrl url = source().isValid() ? source().resolved(name) : name;
    if (url.isLocalFile()) {
        const QString path = url.toLocalFile();
        if (!QFileInfo(path).isFile()) {
            // Back still returns to the page the link was on.
            setPlainText(MissingPageText(path));
            return;
        }
    } else if (!url.isRelative() && url.scheme() != QStringLiteral("qrc")) {
        QDesktopServices::openUrl(url);
        return;
    }
    QTextBrowser::doSetSource(url, type);
}

THelpViewer::THelpViewer(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("THelpViewer"));
    setWindowTitle(QStringLiteral("Tralux Help"));
    browser = new HelpBrowser(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser);
    auto* closeKey = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(closeKey, &QShortcut::activated, this, &QWidget::close);
    resize(640, 560);
}

void THelpViewer::ShowPage(const QUrl& page) {
    browser->setSource(page);
}

}  // namespace tralux
