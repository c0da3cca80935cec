#pragma once

#include <QTextBrowser>
#include <QUrl>
#include <QWidget>

namespace tralux {

// The browser of the help window. Links between the pages are followed inside it; a link to
// another kind of address (a web page, mail) goes to the desktop. A page that is not there is
// replaced by a message naming it, so that a missing or damaged help folder says so.
class HelpBrowser : public QTextBrowser {
    Q_OBJECT

public:
    explicit HelpBrowser(QWidget* parent = nullptr);

    // The text shown in place of a page that does not exist.
    static QString MissingPageText(const QString& path);

protected:
    void doSetSource(const QUrl& name, QTextDocument::ResourceType type) override;
};

// The help pages in a window of the program's own, so that help works where no web browser
// is installed. It stays open beside the main window until closed (Escape closes it).
class THelpViewer : public QWidget {
    Q_OBJECT

public:
    explicit THelpViewer(QWidget* parent = nullptr);

    // Shows a page given by its local file address.
    void ShowPage(const QUrl& page);

    HelpBrowser* browser;
};

}  // namespace tralux
