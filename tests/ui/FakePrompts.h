#pragma once

#include "Prompts.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <vector>

namespace tralux::test {

// Prompts with scripted answers: every call is recorded, and questions and file dialogs take
// their answers from queues filled by the test. An empty queue answers No / cancelled, so an
// unexpected prompt shows up in the record instead of blocking the test.
class FakePrompts : public Prompts {
public:
    enum class Kind {
        Error,
        Warning,
        Information,
        Plain,
        Confirm,
        WarningYesNo,
        OpenFiles,
        SaveFile,
        Folder
    };
    struct Call {
        Kind kind;
        QString text;  // message text, or the dialog's title
    };

    std::vector<Call> calls;
    std::deque<Reply> replies;
    std::deque<QStringList> openFiles;
    std::deque<QString> saveFiles;
    std::deque<QString> folders;
    QStringList startFolders;  // the folder each file dialog was opened in

    void Error(QWidget*, const QString& text) override { calls.push_back({Kind::Error, text}); }
    void Warning(QWidget*, const QString& text) override { calls.push_back({Kind::Warning, text}); }
    void Information(QWidget*, const QString& text) override {
        calls.push_back({Kind::Information, text});
    }
    void Plain(QWidget*, const QString& text) override { calls.push_back({Kind::Plain, text}); }
    Reply Confirm(QWidget*, const QString& text) override {
        calls.push_back({Kind::Confirm, text});
        return NextReply();
    }
    Reply WarningYesNo(QWidget*, const QString& text) override {
        calls.push_back({Kind::WarningYesNo, text});
        return NextReply();
    }
    QStringList OpenFiles(QWidget*, const QString& title, const QStringList&, int,
                          const QString& folder) override {
        calls.push_back({Kind::OpenFiles, title});
        startFolders.append(folder);
        return Next(openFiles);
    }
    QString SaveFile(QWidget*, const QString& title, const QStringList&, const QString&,
                     const QString& folder) override {
        calls.push_back({Kind::SaveFile, title});
        startFolders.append(folder);
        return Next(saveFiles);
    }
    QString Folder(QWidget*, const QString& title, const QString& folder) override {
        calls.push_back({Kind::Folder, title});
        startFolders.append(folder);
        return Next(folders);
    }

    // How many calls of one kind were made.
    int Count(Kind kind) const {
        int n = 0;
        for (const Call& call : calls) {
            n += call.kind == kind ? 1 : 0;
        }
        return n;
    }

private:
    Reply NextReply() {
        if (replies.empty()) {
            return Reply::No;
        }
        const Reply reply = replies.front();
        replies.pop_front();
        return reply;
    }

    template <typename T>
    static T Next(std::deque<T>& queue) {
        if (queue.empty()) {
            return T();
        }
        T value = queue.front();
        queue.pop_front();
        return value;
    }
};

}  // namespace tralux::test
