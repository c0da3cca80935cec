#pragma once

#include <QAbstractButton>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QMap>
#include <QStringList>
#include <QToolButton>
#include <QWidget>

namespace tralux::test {

// What is wrong with the mnemonics of a window: a captioned button without one, or two
// controls (buttons, frames, labels of a field) sharing a letter. Empty when all is well.
inline QStringList MnemonicProblems(const QWidget& window) {
    QStringList problems;
    QMap<QKeySequence, QString> owners;
    const auto take = [&](const QString& caption, const QString& name, bool required) {
        const QKeySequence key = QKeySequence::mnemonic(caption);
        if (key.isEmpty()) {
            if (required) {
                problems << name + ": no mnemonic in \"" + caption + "\"";
            }
            return;
        }
        if (owners.contains(key)) {
            problems << name + " and " + owners.value(key) + " share " + key.toString();
        }
        owners.insert(key, name);
    };
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
        const QString caption = button->text();
        const bool hasLetter =
            std::any_of(caption.begin(), caption.end(), [](QChar c) { return c.isLetter(); });
        if (qobject_cast<const QToolButton*>(button) == nullptr && hasLetter) {
            take(caption, button->objectName(), true);
        }
    }
    for (const QGroupBox* box : window.findChildren<QGroupBox*>()) {
        take(box->title(), box->objectName(), false);
    }
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (label->buddy() != nullptr) {
            take(label->text(), label->objectName(), true);
        }
    }
    return problems;
}

}  // namespace tralux::test
