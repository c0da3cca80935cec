// The same troubles met from the main window: a disk that fills up, a file another process
// holds, files that are no files, a settings folder that cannot be written. Each gets its box
// and the window is back at rest, ready for the next run.
#include <sys/stat.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <filesystem>

#include "FileSizeLimit.h"
#include "LockHolder.h"
#include "WindowFixture.h"
#include "operations/Operations.h"

using tralux::test::FakePrompts;
using tralux::test::FileSizeLimit;
using tralux::test::LockHolder;
using tralux::test::WindowFixture;
using Kind = FakePrompts::Kind;

namespace {

// Two one-second tones; the window lists them.
QStringList TwoTones(WindowFixture& f) {
    const QStringList paths{f.Tone("first.wav", 12000), f.Tone("second.wav", 3000)};
    f.Drop(paths);
    return paths;
}

std::vector<uint8_t> Bytes(const QString& path) {
    return tralux::test::ReadFile(path.toStdString());
}

// No run, no progress line, the plain title, the run buttons offered and Cancel not.
void VerifyAtRest(WindowFixture& f) {
    auto& w = *f.window;
    QVERIFY(!w.Engine().Running);
    QVERIFY(!w.RunInProgress());
    QVERIFY(!w.onefilegauge->isVisible());
    QVERIFY(!w.gauge_label->isVisible());
    QCOMPARE(w.windowTitle(), QStringLiteral("Tralux 1.10"));
    QVERIFY(w.preparebtn->isEnabled());
    QVERIFY(w.prepbalbtn->isEnabled());
    QVERIFY(!w.cancelbtn->isEnabled());
}

}  // namespace

class WindowReliabilityTest : public QObject {
    Q_OBJECT

private slots:
    void diskFillsUpDuringPrepare_data();
    void diskFillsUpDuringPrepare();
    void sourceLockedDuringARun();
    void filesThatAreNoFilesAreRefusedAtOnce();
    void cutFilesAreRefusedOrTakenAsFarAsTheyGo();
    void settingsFolderThatIsAFile();
};

void WindowReliabilityTest::diskFillsUpDuringPrepare_data() {
    QTest::addColumn<int>("limit");
    QTest::newRow("in the header") << 20;
    QTest::newRow("in the first block") << 5000;
    QTest::newRow("in the last block") << 176000;
}

void WindowReliabilityTest::diskFillsUpDuringPrepare() {
    QFETCH(int, limit);
    WindowFixture f;
    const QStringList sources = TwoTones(f);
    const std::vector<uint8_t> first = Bytes(sources[0]), second = Bytes(sources[1]);
    {
        FileSizeLimit full{rlim_t(limit)};
        QVERIFY(full.Active());
        f.Click(f.window->preparebtn);
    }
    const QString result = QString::fromStdString(f.dir.File("first_tralux.wav"));
    QCOMPARE(f.prompts.Texts(Kind::Error),
             QStringList{QStringLiteral("Failed to write to output file \"") + result +
                         QStringLiteral("\" (disk full?)")});
    // Nothing cut short is left under the result's name.
    QVERIFY(!std::filesystem::exists(result.toStdString()));
    VerifyAtRest(f);
    QVERIFY(!f.window->Runs().ReadyToBalance);
    QVERIFY(!f.window->balancebtn->isEnabled());
    QVERIFY(Bytes(sources[0]) == first);
    QVERIFY(Bytes(sources[1]) == second);

    // Room again: the same run goes through.
    f.Click(f.window->preparebtn);
    QCOMPARE(f.prompts.Count(Kind::Error), 1);
    QVERIFY(f.window->Runs().ReadyToBalance);
    VerifyAtRest(f);
}

void WindowReliabilityTest::sourceLockedDuringARun() {
    WindowFixture f;
    const QStringList sources = TwoTones(f);
    const std::vector<uint8_t> second = Bytes(sources[1]);
    {
        LockHolder holder(sources[1].toStdString());
        QVERIFY(holder.Held());
        f.Click(f.window->prepbalbtn);
    }
    QCOMPARE(f.prompts.Texts(Kind::Error),
             QStringList{QStringLiteral("Cannot open file ") + sources[1]});
    VerifyAtRest(f);
    QVERIFY(!f.window->Runs().ReadyToBalance);
    QVERIFY(Bytes(sources[1]) == second);
    QVERIFY(!std::filesystem::exists(f.dir.File("second_tralux.wav")));
}

void WindowReliabilityTest::filesThatAreNoFilesAreRefusedAtOnce() {
    WindowFixture f;
    const QString fifo = QString::fromStdString(f.dir.File("pipe.wav"));
    QCOMPARE(::mkfifo(fifo.toStdString().c_str(), 0600), 0);
    const QString locked = f.Tone("held.wav", 3000);
    LockHolder holder(locked.toStdString());
    QVERIFY(holder.Held());
    const QStringList offered{fifo, QStringLiteral("/dev/zero"), locked};
    f.Drop(offered);
    QCOMPARE(f.window->FileCount, 0);
    // One box for the three, each with its own reason.
    QCOMPARE(
        f.prompts.Texts(Kind::Error),
        QStringList{QStringLiteral("These files were not added:\r\r   \"") + fifo +
                    QStringLiteral("\" is a device or a pipe, not a WAV file\r   \"/dev/zero\" "
                                   "is a device or a pipe, not a WAV file\r   Cannot open "
                                   "file \"") +
                    locked + QStringLiteral("\" (is it in use by another application?)")});
}

void WindowReliabilityTest::cutFilesAreRefusedOrTakenAsFarAsTheyGo() {
    WindowFixture f;
    const std::vector<uint8_t> whole = Bytes(f.Tone("whole.wav", 12000));
    QStringList refused;
    QStringList taken;
    for (const size_t cut :
         {size_t{0}, size_t{11}, size_t{36}, size_t{43}, size_t{44}, size_t{45}, size_t{10000}}) {
        const std::string path = f.dir.File("cut" + std::to_string(cut) + ".wav");
        tralux::test::WriteFile(path,
                                std::vector<uint8_t>(whole.begin(), whole.begin() + long(cut)));
        (cut < 44 ? refused : taken).append(QString::fromStdString(path));
    }
    f.Drop(refused + taken);
    // One box for the intake, each refused file on a line of its own.
    QString expected = QStringLiteral("These files were not added:\r");
    for (const QString& path : refused) {
        expected += QStringLiteral("\r   \"") + path +
                    QStringLiteral("\" is not a 44.1kHz 16-bit stereo WAV file");
    }
    QCOMPARE(f.prompts.Texts(Kind::Error), QStringList{expected});
    QCOMPARE(f.window->FileCount, int(taken.size()));
    f.prompts.calls.clear();
    f.Click(f.window->preparebtn);
    // The header alone, and the first byte of a tone that starts at zero, hold no sound; the
    // other cuts are prepared as far as they go.
    QCOMPARE(f.prompts.Texts(Kind::Error), QStringList{});
    QStringList silent;
    for (const QString& path : taken.mid(0, 2)) {
        silent.append(QStringLiteral("File \"") + path +
                      QStringLiteral("\" is completely silent and will be ignored"));
    }
    QCOMPARE(f.prompts.Texts(Kind::Warning), silent);
    QVERIFY(std::filesystem::exists(f.dir.File("cut10000_tralux.wav")));
    QVERIFY(f.window->Runs().ReadyToBalance);
    VerifyAtRest(f);
}

void WindowReliabilityTest::settingsFolderThatIsAFile() {
    WindowFixture f;
    const std::string blocker = f.dir.File("program");
    tralux::test::WriteFile(blocker, {'e', 'x', 'e'});
    f.ini = blocker + "/tralux.ini";
    f.Restart();
    f.prompts.calls.clear();
    f.window->close();
    QCOMPARE(f.prompts.Texts(Kind::Error),
             QStringList{QStringLiteral("Unable to write to ") + QString::fromStdString(f.ini)});
    QVERIFY(tralux::test::ReadFile(blocker) == (std::vector<uint8_t>{'e', 'x', 'e'}));
}

QTEST_MAIN(WindowReliabilityTest)
#include "WindowReliabilityTest.moc"
