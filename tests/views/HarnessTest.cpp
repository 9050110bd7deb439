// view_harness as a person meets it: its window on the X screen (read with python3-pil, not
// from the widget's framebuffer), and its refusals.
#include "ViewTestSupport.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <fstream>

namespace {

const QString harness = QStringLiteral(MORVANTA_BINARY_DIR "/app/view_harness");

struct HarnessRun
{
    int status = -1;
    QString out, err;
};

HarnessRun run(const QStringList& args)
{
    QProcess p;
    p.start(harness, args);
    HarnessRun r;
    if (!p.waitForFinished(60000))
        return r;
    r.status = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

}

TEST(ViewHarness, AxialSliceOnTheScreenInTheWindowsGreys)
{
    TestSupport::PrivateXServer x;
    ASSERT_TRUE(x.running()) << "Xvfb did not start";
    QProcess view;
    view.setProcessEnvironment(x.environment());
    view.start(harness, {"--view", "Axial", "--slice", "41.25", "--window", "500,2500", "--quit-after", "20000"});
    ASSERT_TRUE(view.waitForStarted());
    ASSERT_TRUE(view.waitForReadyRead(30000)) << view.readAllStandardError().toStdString();
    const QStringList words = QString::fromUtf8(view.readLine()).trimmed().split(' ');
    ASSERT_EQ(words.size(), 5);
    EXPECT_EQ(words[0], "view");
    const int x0 = words[1].toInt(), y0 = words[2].toInt(), w = words[3].toInt(), h = words[4].toInt();
    EXPECT_EQ(QSize(w, h), QSize(256, 256));

    QTemporaryDir dir;
    const QString raw = dir.filePath("screen.rgb");
    QProcess grab;
    grab.start("/usr/bin/python3",
               {"-c", "import sys; from PIL import ImageGrab; "
                      "ImageGrab.grab(xdisplay=sys.argv[1]).convert('RGB').crop(tuple(map(int, sys.argv[2:6])))"
                      ".save(sys.argv[6] + '.png'); open(sys.argv[6], 'wb').write(ImageGrab.grab(xdisplay=sys.argv[1])"
                      ".convert('RGB').crop(tuple(map(int, sys.argv[2:6]))).tobytes())",
                x.display(), QString::number(x0), QString::number(y0), QString::number(x0 + w),
                QString::number(y0 + h), raw});
    ASSERT_TRUE(grab.waitForFinished(30000));
    ASSERT_EQ(grab.exitCode(), 0) << grab.readAllStandardError().toStdString();
    view.kill();
    view.waitForFinished();

    std::ifstream in(raw.toStdString(), std::ios::binary);
    std::vector<unsigned char> screen(std::size_t(w) * h * 3);
    in.read(reinterpret_cast<char*>(screen.data()), std::streamsize(screen.size()));
    ASSERT_TRUE(in.good());

    // The same series imported here is the oracle.
    auto model = ViewTest::makeModel(nullptr);
    ASSERT_TRUE(ViewTest::importSamplePatient(model));
    const auto volume = model->getVolumeData();
    const unsigned iz = unsigned(41.25 / volume->getSpacingZ());
    int mismatches = 0;
    for (int y = 30; y < h - 2; y += 3)
        for (int x = 2; x < w - 2; x += 3) {
            if (std::abs(y - h / 2) < 16 && (x < 30 || x > w - 30))
                continue;
            const double g = std::clamp((volume->at(unsigned(x), unsigned(y), iz) - 500.0) * 255.0 / 2000.0, 0.0, 255.0);
            const unsigned char* p = &screen[(std::size_t(y) * w + x) * 3];
            mismatches += p[0] != int(g) || p[1] != int(g) || p[2] != int(g);
        }
    EXPECT_EQ(mismatches, 0);
}

TEST(ViewHarness, BadArgumentsOrDataExitWithStatusTwo)
{
    QTemporaryDir empty;
    const QString damaged = empty.filePath("damaged.srl");
    std::ofstream(damaged.toStdString()) << "[Planningdata]\nversion = P1x\n";
    const QStringList cases[] = {{},
                                 {"--view", "Panorama"},
                                 {"--view", "Axial", "--window", "100"},
                                 {"--view", "Axial", "--size", "0x10"},
                                 {"--view", "Axial", "--zoom", "abc"},
                                 {"--view", "Axial", "--patient", empty.path()},
                                 {"--view", "Axial", "--planning", damaged},
                                 {"--view", "Axial", "--implant", "/nonexistent.implant@1,2,3"}};
    for (const QStringList& args : cases) {
        const HarnessRun r = run(args);
        EXPECT_EQ(r.status, 2) << args.join(' ').toStdString();
        // One line of its own (Qt may add its own warnings about the environment).
        EXPECT_EQ(r.err.count(QStringLiteral("view_harness: ")), 1) << r.err.toStdString();
        EXPECT_FALSE(r.out.contains("view ")) << args.join(' ').toStdString();
    }
}
