#include "Prompts.h"

#include <QFileDialog>
#include <QMessageBox>

namespace tralux {
namespace {

void OkBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text) {
    QMessageBox box(icon, caption, ShownText(text), QMessageBox::Ok, parent);
    box.exec();
}

Prompts::Reply YesNoBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                        const QString& text) {
    QMessageBox box(icon, caption, ShownText(text), QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    const int answer = box.exec();
    if (answer == QMessageBox::Yes) {
        return Prompts::Reply::Yes;
    }
    return answer == QMessageBox::No ? Prompts::Reply::No : Prompts::Reply::None;
}

}  // namespace

QString ShownText(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

void QtPrompts::Error(QWidget* parent, const QString& text) {
    OkBox(parent, QMessageBox::Critical, QStringLiteral("Error"), text);
}

void QtPrompts::Warning(QWidget* parent, const QString& text) {
    OkBox(parent, QMessageBox::Warning, QStringLiteral("Warning"), text);
}

void QtPrompts::Information(QWidget* parent, const QString& text) {
    OkBox(parent, QMessageBox::Information, QStringLiteral("Information"), text);
}

void QtPrompts::Plain(QWidget* parent, const QString& text) {
    OkBox(parent, QMessageBox::NoIcon, QStringLiteral("Tralux"), text);
}

Prompts::Reply QtPrompts::Confirm(QWidget* parent, const QString& text) {
    return YesNoBox(parent, QMessageBox::Question, QStringLiteral("Confirm"), text);
}

Prompts::Reply QtPrompts::WarningYesNo(QWidget* parent, const QString& text) {
    return YesNoBox(parent, QMessageBox::Warning, QStringLiteral("Warning"), text);
}

QStringList QtPrompts::OpenFiles(QWidget* parent, const QString& title, const QStringList& filters,
                                 int selectedFilter, const QString& folder) {
    QFileDialog dialog(parent, title, folder);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilters(filters);
    if (selectedFilter >= 0 && selectedFilter < filters.size()) {
        dialog.selectNameFilter(filters.at(selectedFilter));
    }
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
}

QString QtPrompts::SaveFile(QWidget* parent, const QString& title, const QStringList& filters,
                            const QString& defaultSuffix, const QString& folder) {
    QFileDialog dialog(parent, title, folder);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

QString QtPrompts::Folder(QWidget* parent, const QString& title, const QString& folder) {
    return QFileDialog::getExistingDirectory(parent, title, folder, QFileDialog::ShowDirsOnly);
}

}  // namespace tralux
