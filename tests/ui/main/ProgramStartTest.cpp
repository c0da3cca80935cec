// How the window program starts: where it finds its help pages, the files and options of its
// command line, and its help self-test.
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QTextStream>

#include <filesystem>
#include <fstream>

#include "WindowFixture.h"
#include "engine/FileData.h"
#include "main/ProgramStart.h"

using tralux::HelpFolderFor;
using tralux::ParseWindowArguments;
using tralux::WindowArguments;
using tralux::test::TempDir;
using tralux::test::WindowFixture;

namespace {

void MakeFolder(const TempDir& dir, const std::string& relative) {
    std::filesystem::create_directories(dir.Path() / relative);
}

QString Under(const TempDir& dir, const std::string& relative) {
    return QDir::cleanPath(QString::fromStdString((dir.Path() / relative).string()));
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

class ProgramStartTest : public QObject {
    Q_OBJECT

private slots:
    void helpFolderIsFound_data();
    void helpFolderIsFound();
    void argumentsName_data();
    void argumentsName();
    void commandLineFilesArriveAsADropDoes();
    void qtOptionsAreLeftToQt();
    void answersWithoutADisplay_data();
    void answersWithoutADisplay();
    void helpCheckFindsThePage_data();
    void helpCheckFindsThePage();
};

void ProgramStartTest::helpFolderIsFound_data() {
    QTest::addColumn<QStringList>("folders");  // made under the temporary folder
    QTest::addColumn<QString>("executable");   // the executable's folder, relative
    QTest::addColumn<QString>("expected");
    QTest::newRow("build tree") << QStringList{"build/ui/help"} << "build/ui"
                                << "build/ui/help";
    QTest::newRow("installed under a prefix")
        << QStringList{"usr/bin", "usr/share/tralux/help"} << "usr/bin"
        << "usr/share/tralux/help";
    QTest::newRow("pages beside the executable win")
        << QStringList{"opt/bin/help", "opt/share/tralux/help"} << "opt/bin"
        << "opt/bin/help";
    QTest::newRow("no pages anywhere: the build-tree place") << QStringList{"usr/bin"} << "usr/bin"
                                                             << "usr/bin/help";
}

void ProgramStartTest::helpFolderIsFound() {
    QFETCH(QStringList, folders);
    QFETCH(QString, executable);
    QFETCH(QString, expected);
    TempDir dir;
    for (const QString& folder : folders) {
        MakeFolder(dir, folder.toStdString());
    }
    QCOMPARE(HelpFolderFor(Under(dir, executable.toStdString())),
             Under(dir, expected.toStdString()));
}

void ProgramStartTest::argumentsName_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("checkHelp");
    QTest::addColumn<QString>("problem");
    const QStringList none;
    QTest::newRow("nothing") << none << none << false << QString();
    QTest::newRow("relative and absolute names, in order")
        << QStringList{"b.wav", "/music/a.wav", "./sub/../c.wav", ""}
        << QStringList{"/home/user/b.wav", "/music/a.wav", "/home/user/c.wav"} << false
        << QString();
    QTest::newRow("a name starting with a dash after --")
        << QStringList{"--", "-take 1.wav", "--check-help"}
        << QStringList{"/home/user/-take 1.wav", "/home/user/--check-help"} << false << QString();
    QTest::newRow("self-test") << QStringList{"--check-help"} << none << true << QString();
    QTest::newRow("an unknown option is refused")
        << QStringList{"a.wav", "--frobnicate", "-x"} << QStringList{"/home/user/a.wav"} << false
        << QStringLiteral("unknown option '--frobnicate'");
}

void ProgramStartTest::argumentsName() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, files);
    QFETCH(bool, checkHelp);
    QFETCH(QString, problem);
    const WindowArguments parsed = ParseWindowArguments(arguments, QStringLiteral("/home/user"));
    QCOMPARE(parsed.files, files);
    QCOMPARE(parsed.checkHelp, checkHelp);
    QCOMPARE(parsed.problem, problem);
    QVERIFY(!parsed.help && !parsed.version);
}

void ProgramStartTest::qtOptionsAreLeftToQt() {
    // Read before Qt starts, Qt's own options (with their values) are no mistake and no files.
    const QStringList kept =
        tralux::WithoutQtOptions({"-platform", "offscreen", "a.wav", "--style=fusion", "-reverse",
                                  "--bogus", "-style", "fusion", "--", "-platform"});
    QCOMPARE(kept, (QStringList{"a.wav", "--bogus", "--", "-platform"}));
}

void ProgramStartTest::answersWithoutADisplay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("printed");  // the start of what it prints
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: tralux";
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "Tralux ";
    QTest::newRow("an unknown option") << QStringList{"--bogus"} << 2 << "tralux: unknown option";
    QTest::newRow("an unknown option after a Qt one")
        << QStringList{"-style", "fusion", "-x"} << 2 << "tralux: unknown option '-x'";
}

void ProgramStartTest::answersWithoutADisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, printed);
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        environment.remove(QString::fromLatin1(name));
    }
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(TRALUX_PROGRAM), arguments);
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    const QString output = QString::fromLocal8Bit(exitCode == 0 ? program.readAllStandardOutput()
                                                                : program.readAllStandardError());
    QVERIFY2(output.startsWith(printed), qPrintable(output));
}

void ProgramStartTest::commandLineFilesArriveAsADropDoes() {
    // "Open with" of a file manager: named by their relative names, the same files, one of
    // them refused, end up listed and reported exactly as when they are dropped.
    WindowFixture dropped;
    WindowFixture opened;
    const QString first = dropped.Tone("first.wav", 3000);
    tralux::test::WavLayout adpcm48;  // a format the runs do not take
    adpcm48.sampleRate = 48000;
    adpcm48.formatTag = 2;
    const QString second = QString::fromStdString(tralux::test::WriteWav(
        dropped.dir.File("second.wav"), tralux::test::Sine(4800, 3000), adpcm48));
    const QString third = dropped.Tone("third.wav", 3000);
    dropped.Drop({first, second, third, first});

    const WindowArguments parsed =
        ParseWindowArguments({"first.wav", "./second.wav", "third.wav", "first.wav"},
                             QString::fromStdString(dropped.dir.Path().string()));
    QVERIFY(parsed.problem.isEmpty());
    opened.window->OfferFiles(parsed.files);

    QCOMPARE(opened.window->FileCount, 2);
    QCOMPARE(opened.window->FileCount, dropped.window->FileCount);
    for (int row = 0; row < 2; ++row) {
        QCOMPARE(opened.Grid().Record(row)->SourceFile, dropped.Grid().Record(row)->SourceFile);
    }
    QCOMPARE(opened.Grid().Record(1)->SourceFile, third.toStdString());
    QCOMPARE(opened.prompts.Texts(tralux::test::FakePrompts::Kind::Error),
             dropped.prompts.Texts(tralux::test::FakePrompts::Kind::Error));
    QCOMPARE(opened.prompts.calls.size(), size_t{1});
    // Intake ends with the enablement brought up to date, as after a drop.
    QVERIFY(opened.window->prepbalbtn->isEnabled());
}

void ProgramStartTest::helpCheckFindsThePage_data() {
    QTest::addColumn<QString>("page");  // the text of introduction.html; null: no such file
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("said");
    QTest::newRow("a page with a title")
        << "<html><head><title>Tralux: getting started</title></head><body>Hi</body></html>" << true
        << ": Tralux: getting started";
    QTest::newRow("no page") << QString() << false << "help: cannot read ";
    QTest::newRow("not an HTML page") << "plain words" << false << "shows no HTML page";
}

void ProgramStartTest::helpCheckFindsThePage() {
    QFETCH(QString, page);
    QFETCH(bool, found);
    QFETCH(QString, said);
    TempDir dir;
    MakeFolder(dir, "help");
    if (!page.isNull()) {
        WriteText(dir.File("help/introduction.html"), page.toStdString());
    }
    tralux::test::FakePrompts prompts;
    tralux::UnattendedServices services;
    tralux::TBalanceVolumes window({dir.File("tralux.ini"), Under(dir, "help"), prompts, services});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QString output;
    QTextStream out(&output);
    QCOMPARE(tralux::CheckHelpOpens(window, services, out), found);
    out.flush();
    QVERIFY2(output.contains(said), qPrintable(output));
    QVERIFY2(output.contains(Under(dir, "help/introduction.html")), qPrintable(output));
    QVERIFY(prompts.calls.empty());
}

QTEST_MAIN(ProgramStartTest)
#include "ProgramStartTest.moc"
