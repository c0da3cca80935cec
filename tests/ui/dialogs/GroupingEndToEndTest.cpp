#include "FakeProgressSink.h"
#include "FakeRunHost.h"
#include "TTrackGrouping.h"
#include "TempDir.h"
#include "TestWav.h"
#include "engine/AudioEngine.h"
#include "files/WaveHeader.h"
#include "operations/Operations.h"

#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cmath>

using namespace tralux;

namespace {

constexpr int32_t Frames = 12000;

// Alternating +m and -m: a root mean square of m and a peak of m.
test::Samples Square(int16_t m) {
    test::Samples samples(2 * Frames);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = (i / 2) % 2 == 0 ? m : static_cast<int16_t>(-m);
    }
    return samples;
}

}  // namespace

class GroupingEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void groupedFilesKeepTheirLoudnessRatio();
};

// Two files joined in the dialog keep their loudness relative to each other through Prepare
// and Balance, while an ungrouped file is brought to the reference like any other.
void GroupingEndToEndTest::groupedFilesKeepTheirLoudnessRatio() {
    test::TempDir dir;
    test::FakeProgressSink sink;
    AudioEngine engine(sink, [] { return 0.0; });
    Options options;
    test::FakeRunHost host;
    Operations ops(engine, host);
    UngroupedNumbers numbers;
    // Peaks differ so that normalising changes every file by another gain.
    const std::pair<const char*, int16_t> sources[] = {
        {"loud.wav", 8000}, {"quiet.wav", 4000}, {"other.wav", 2000}};
    for (const auto& [name, level] : sources) {
        const std::string path = test::WriteWav(dir.File(name), Square(level));
        const WaveHeaderInfo info = ReadWaveHeader(path);
        QCOMPARE(int(info.Result), int(WaveCheckResult::Valid));
        host.Add(std::make_unique<FileData>(path, info.HeaderSize, info.FrameCount, info.TailBytes,
                                            numbers));
    }

    WindowPlacement placement;
    TTrackGrouping dialog(host.Files(), options, placement);
    QTimer::singleShot(0, &dialog, [&] {
        dialog.files->item(0)->setSelected(true);
        dialog.files->item(1)->setSelected(true);
        QTest::mouseClick(dialog.groupbtn, Qt::LeftButton);
        QTest::mouseClick(dialog.donebtn, Qt::LeftButton);
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    FileData& loud = *host.List[0];
    FileData& quiet = *host.List[1];
    FileData& other = *host.List[2];
    QCOMPARE(loud.GroupNumber, 1);
    QCOMPARE(quiet.GroupNumber, 1);
    QVERIFY(other.GroupNumber < 1);

    host.Choice = ReferenceChoice::Quietest;
    ops.PrepareAndBalance(host.Request(options));
    QVERIFY2(host.Errors.empty(), host.Errors.empty() ? "" : host.Errors.front().c_str());
    QVERIFY(loud.Loudness > 0 && quiet.Loudness > 0 && other.Loudness > 0);
    // Each file ends within 0.2 % of its target, so the ratio of two within about 0.4 %.
    const double ratio = loud.Loudness / quiet.Loudness;
    QVERIFY2(std::abs(ratio / 2.0 - 1.0) < 0.005, QByteArray::number(ratio).constData());
    // The quietest file sets the reference; the group's quietest member is placed on it.
    QVERIFY(std::abs(quiet.Loudness / other.Loudness - 1.0) < 0.005);
}

QTEST_MAIN(GroupingEndToEndTest)
#include "GroupingEndToEndTest.moc"
