// The GL view base: the empty panel, the self-update timer and notifications from other threads.
#include "ViewTestSupport.h"

#include "views/OpenGLView.h"

#include <QCoreApplication>
#include <QProcess>
#include <thread>

namespace {

// The smallest concrete OpenGL view: the base's empty panel.
class Panel : public OpenGLView
{
public:
    explicit Panel(std::shared_ptr<Model> model) : OpenGLView(nullptr, "Panel"), model_(std::move(model)) {}
    std::shared_ptr<Model> getModel() const override { return model_; }
    Quorvane::IView* clone(QWidget*) const override { return nullptr; }
    bool isEmpty() const override { return true; }
    bool isAvailableInPlanning() const override { return true; }
    bool isAvailableInNavigation() const override { return true; }
    void reset() override {}
    void update() override
    {
        if (handOverToGuiThread())
            return;
        TimedView::update();
        OpenGLView::update();
    }
    // Paints the view asked for; a window merely uncovered on a shared display is composed
    // again without one.
    int paints = 0;

protected:
    void paintGL() override
    {
        ++paints;
        OpenGLView::paintGL();
    }

private:
    std::shared_ptr<Model> model_;
};

QStringList warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        warnings << text;
}

}

TEST(EmptyPanel, WhiteInsideBlackMarginAtTheScaleFactor)
{
    REQUIRE_DISPLAY();
    if (qEnvironmentVariableIsSet("MORVANTA_EXPECT_SCALE")) {
        EXPECT_EQ(qgetenv("MORVANTA_EXPECT_SCALE").toDouble(), qApp->devicePixelRatio());
    }
    Panel panel(nullptr);
    panel.setWindowFlags(Qt::FramelessWindowHint);
    panel.resize(200, 100);
    panel.move(ViewTest::windowPlace);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    const QImage image = panel.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    const double r = panel.devicePixelRatioF();
    ASSERT_EQ(image.size(), QSize(int(200 * r), int(100 * r)));
    // Inside the panel (10 % to 90 %) white, in the margin black; a pixel away from the edges.
    const struct { int x, y; QRgb colour; } probes[] = {
        {25, 15, qRgb(255, 255, 255)}, {175, 85, qRgb(255, 255, 255)}, {100, 50, qRgb(255, 255, 255)},
        {15, 50, qRgb(0, 0, 0)},       {185, 50, qRgb(0, 0, 0)},       {100, 5, qRgb(0, 0, 0)},
        {100, 95, qRgb(0, 0, 0)}};
    for (const auto& p : probes)
        EXPECT_EQ(image.pixel(int(p.x * r), int(p.y * r)), p.colour) << p.x << "," << p.y;
}

TEST(EmptyPanel, SameAtScaleFactorTwo)
{
    REQUIRE_DISPLAY();
    if (qEnvironmentVariableIsSet("MORVANTA_EXPECT_SCALE"))
        GTEST_SKIP() << "the child run";
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_SCALE_FACTOR", "2");
    env.insert("MORVANTA_EXPECT_SCALE", "2");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=EmptyPanel.WhiteInsideBlackMarginAtTheScaleFactor"});
    ASSERT_TRUE(child.waitForFinished(60000));
    EXPECT_TRUE(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0)
        << (child.exitStatus() == QProcess::CrashExit ? "killed by signal " : "exit code ") << child.exitCode() << "\n"
        << child.readAll().toStdString();
}

TEST(TimedView, RunsExactlyInNavigationAtTruncatedIntervals)
{
    auto model = ViewTest::makeModel(nullptr);
    Panel panel(model);
    panel.update();
    EXPECT_FALSE(panel.getTimer()->isActive());

    model->setStateAndUpdate(Model::Navigation);
    panel.update();
    ASSERT_TRUE(panel.getTimer()->isActive());
    EXPECT_EQ(panel.getTimer()->interval(), 66);
    // A changed rate counts only from the next start.
    panel.setRate(10.0);
    panel.update();
    EXPECT_EQ(panel.getTimer()->interval(), 66);
    model->setStateAndUpdate(Model::NormalInput);
    panel.update();
    EXPECT_FALSE(panel.getTimer()->isActive());
    model->setStateAndUpdate(Model::Navigation);
    panel.update();
    EXPECT_EQ(panel.getTimer()->interval(), 100);

    Panel orphan(nullptr);
    orphan.update();
    EXPECT_FALSE(orphan.getTimer()->isActive());
    EXPECT_THROW(orphan.setRate(0.0), std::runtime_error);
}

TEST(TimedView, NotificationsFromAnotherThreadMakeOnePaint)
{
    REQUIRE_DISPLAY();
    auto model = ViewTest::makeModel(nullptr);
    Panel panel(model);
    model->attach(static_cast<Vexa::IObserver*>(&panel));
    panel.move(ViewTest::windowPlace);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    panel.setRate(0.1); // its own timer must not paint within the test, however slow the machine
    QTest::qWait(100);
    const int paintsBefore = panel.paints;
    warnings.clear();
    const auto previous = qInstallMessageHandler(collectWarnings);
    std::thread navigationTimer([&] {
        model->setStateAndUpdate(Model::Navigation);
        for (int i = 0; i < 5; ++i)
            model->notify();
    });
    navigationTimer.join();
    const bool painted = QTest::qWaitFor([&] { return panel.paints > paintsBefore; }, 5000);
    QTest::qWait(50); // room for a second paint, were the notifications not folded
    qInstallMessageHandler(previous);
    model->detach(static_cast<Vexa::IObserver*>(&panel));
    ASSERT_TRUE(painted) << "the notifications from the other thread never painted";
    EXPECT_EQ(panel.paints - paintsBefore, 1);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join("\n").toStdString();
    // The timer was started in the GUI thread by the handed-over call.
    EXPECT_TRUE(panel.getTimer()->isActive());
}
