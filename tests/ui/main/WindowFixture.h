#pragma once

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <string>

#include "FakePrompts.h"
#include "FakeServices.h"
#include "TempDir.h"
#include "TestWav.h"
#include "main/FileGrid.h"
#include "main/TBalanceVolumes.h"

namespace tralux::test {

// FakePrompts that also keeps the filters and the preselected filter of the file dialogs.
class RecordingPrompts : public FakePrompts {
public:
    QStringList openFilters;
    int openSelectedFilter = -1;
    QStringList saveFilters;
    QString saveSuffix;

    QStringList OpenFiles(QWidget* parent, const QString& title, const QStringList& filters,
                          int selectedFilter, const QString& folder) override {
        openFilters = filters;
        openSelectedFilter = selectedFilter;
        return FakePrompts::OpenFiles(parent, title, filters, selectedFilter, folder);
    }
    QString SaveFile(QWidget* parent, const QString& title, const QStringList& filters,
                     const QString& defaultSuffix, const QString& folder) override {
        saveFilters = filters;
        saveSuffix = defaultSuffix;
        return FakePrompts::SaveFile(parent, title, filters, defaultSuffix, folder);
    }
    // Shows each warning in a real message box, closed at once, as the program's own boxes
    // are shown: a box can make its parent's native window before that is shown.
    bool realWarningBoxes = false;
    void Warning(QWidget* parent, const QString& text) override {
        FakePrompts::Warning(parent, text);
        if (realWarningBoxes) {
            // On a desktop a box for a window not yet shown makes that window's native window
            // first (offscreen does not): do it here as the desktop would.
            if (parent != nullptr) {
                parent->window()->winId();
            }
            QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"), text, QMessageBox::Ok,
                            parent);
            QTimer::singleShot(0, &box, &QMessageBox::accept);
            box.exec();
        }
    }
    QStringList Texts(Kind kind) const {
        QStringList texts;
        for (const Call& call : calls) {
            if (call.kind == kind) {
                texts.append(call.text);
            }
        }
        return texts;
    }
};

// A main window over a settings file in a fresh temporary folder, with scripted prompts and
// dialogs. Restart() closes the window (which saves the settings) and builds a new one over
// the same file, as a second start of the program would.
class WindowFixture {
public:
    WindowFixture() { Start(); }
    ~WindowFixture() {
        if (window) {
            window->close();
        }
    }

    void Start() {
        window =
            std::make_unique<TBalanceVolumes>(MainWindowSetup{ini, helpFolder, prompts, services});
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void Restart() {
        window->close();
        window.reset();
        Start();
    }

    // Starts anew over a settings file holding this text.
    void StartWith(const std::string& settings) {
        window->close();
        window.reset();
        WriteFile(ini, std::vector<uint8_t>(settings.begin(), settings.end()));
        Start();
    }

    // Makes the window the active one, as the user coming back to it does, and lets the
    // events that follow run.
    void Activate() {
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        Settle();
    }

    // Another window takes the focus, then the user comes back to this one.
    void ActivateAnew() {
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        Settle();
        Activate();
    }

    static void Settle() {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
    }

    // A one-second tone file of the given amplitude in the temporary folder.
    QString Tone(const std::string& name, double amplitude, int32_t frames = 44100) {
        return QString::fromStdString(WriteWav(dir.File(name), Sine(frames, amplitude)));
    }

    // Drops local files on the window through the same events the desktop sends.
    void Drop(const QStringList& paths) {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& path : paths) {
            urls.append(QUrl::fromLocalFile(path));
        }
        data.setUrls(urls);
        const QPointF at(window->width() / 2.0, window->height() / 3.0);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &drop);
    }

    void Click(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // Clicks a grid row as the user does.
    void ClickRow(int row) {
        FileGrid* grid = window->filegrid;
        const QRect cell = grid->visualRect(grid->model()->index(row, 0));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    }

    FileGrid& Grid() { return *window->filegrid; }

    std::string IniText() const {
        const std::vector<uint8_t> bytes = ReadFile(ini);
        return std::string(bytes.begin(), bytes.end());
    }

    TempDir dir;
    std::string ini = dir.File("tralux.ini");
    QString helpFolder = QString::fromStdString(dir.File("help"));
    RecordingPrompts prompts;
    FakeServices services;
    std::unique_ptr<TBalanceVolumes> window;
};

}  // namespace tralux::test
