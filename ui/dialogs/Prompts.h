#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace tralux {

// The standard boxes and file dialogs the windows use. The program uses QtPrompts; tests put
// in scripted answers so that no test waits on a modal box.
class Prompts {
public:
    enum class Reply { Yes, No, None };

    virtual ~Prompts() = default;
    // Texts use a single carriage return for a line break.
    virtual void Error(QWidget* parent, const QString& text) = 0;          // "Error", OK
    virtual void Warning(QWidget* parent, const QString& text) = 0;        // "Warning", OK
    virtual void Information(QWidget* parent, const QString& text) = 0;    // "Information", OK
    virtual void Plain(QWidget* parent, const QString& text) = 0;          // "Tralux", no icon, OK
    virtual Reply Confirm(QWidget* parent, const QString& text) = 0;       // "Confirm", Yes/No
    virtual Reply WarningYesNo(QWidget* parent, const QString& text) = 0;  // "Warning", Yes/No
    // The file dialogs open in folder (the dialog's own choice when empty).
    // Several existing files; empty when cancelled. filters as Qt name filters.
    virtual QStringList OpenFiles(QWidget* parent, const QString& title, const QStringList& filters,
                                  int selectedFilter, const QString& folder) = 0;
    // A file to save to; empty when cancelled.
    virtual QString SaveFile(QWidget* parent, const QString& title, const QStringList& filters,
                             const QString& defaultSuffix, const QString& folder) = 0;
    // A folder; empty when cancelled.
    virtual QString Folder(QWidget* parent, const QString& title, const QString& folder) = 0;
};

// Message texts are built with "\r" for a line break; Qt shows "\n".
QString ShownText(const QString& text);

class QtPrompts : public Prompts {
public:
    void Error(QWidget* parent, const QString& text) override;
    void Warning(QWidget* parent, const QString& text) override;
    void Information(QWidget* parent, const QString& text) override;
    void Plain(QWidget* parent, const QString& text) override;
    Reply Confirm(QWidget* parent, const QString& text) override;
    Reply WarningYesNo(QWidget* parent, const QString& text) override;
    QStringList OpenFiles(QWidget* parent, const QString& title, const QStringList& filters,
                          int selectedFilter, const QString& folder) override;
    QString SaveFile(QWidget* parent, const QString& title, const QStringList& filters,
                     const QString& defaultSuffix, const QString& folder) override;
    QString Folder(QWidget* parent, const QString& title, const QString& folder) override;
};

}  // namespace tralux
