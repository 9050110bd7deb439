#include "NavigationDisplayFixture.h"

#include "planning/ModelTestSupport.h"
#include "planning/model/ImplantManager.h"
#include "views/navigation/NavigationButtonView.h"
#include "views/navigation/StatusBarView.h"

#include <QImage>
#include <QLabel>
#include <QSignalSpy>
#include <QToolButton>
#include <fstream>
#include <gtest/gtest.h>

using namespace DisplayTest;
using namespace NavigationScene;

class StatusAndStripTest : public NavigationDisplayFixture
{
protected:
    std::shared_ptr<Implant> addImplant(const Vexa::Matrix44<double>& pose)
    {
        auto implant = implantAt(pose);
        model->getImplantManager()->addImplant(implant);
        return implant;
    }
};

TEST_F(StatusAndStripTest, StatusTextsAndLabelWidths)
{
    host.resize(1280, 40);
    auto* bar = new StatusBarView(&host);
    bar->setModel(model);
    bar->setNavigationController(controller);
    auto widths = [&] {
        return std::vector<int>{bar->patientLabel()->width(), bar->stateLabel()->width(), bar->captureLabel()->width()};
    };
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    EXPECT_EQ((std::vector<int>{387, 736, 155}), widths());
    bar->resize(990, 20);
    QApplication::processEvents();
    EXPECT_EQ((std::vector<int>{300, 570, 120}), widths());
    bar->resize(1280, 20);
    QApplication::processEvents();
    EXPECT_EQ((std::vector<int>{387, 736, 155}), widths());

    const struct
    {
        std::map<std::string, std::string> data;
        const char* text;
    } patients[] = {
        {{{"name", "Doe^John"}, {"birthday", "19650412"}, {"id", "4711"}}, "Doe^John    (*12/04/1965)    id:4711"},
        {{{"name", "Doe^John"}, {"birthday", "1965-4"}}, "Doe^John    (*1965-4)"},
        {{{"name", "Doe^John"}}, "Doe^John"},
        {{}, ""},
        // A Hebrew name keeps its order inside the line, and the line its own around it.
        {{{"name", "\u05E9\u05E8\u05D5\u05DF^\u05D3\u05D1\u05D5\u05E8\u05D4"}, {"birthday", "19650412"}, {"id", "4711"}},
         "\u2068\u05E9\u05E8\u05D5\u05DF^\u05D3\u05D1\u05D5\u05E8\u05D4\u2069    (*12/04/1965)    id:4711"},
    };
    for (const auto& patient : patients) {
        model->setPatientData(patient.data);
        EXPECT_EQ(QString(patient.text), bar->getPatientInfo());
        bar->update();
        QLabel* label = bar->patientLabel();
        EXPECT_EQ(label->text().toStdString(), patient.text);
        // Left to right, so the line starts at the label's left edge.
        EXPECT_FALSE(label->text().isRightToLeft()) << patient.text;
        const QImage shown = label->grab().toImage();
        int ink = shown.width();
        for (int x = 0; x < shown.width() && ink == shown.width(); ++x)
            for (int y = 0; y < shown.height(); ++y)
                if (qGray(shown.pixel(x, y)) < 128)
                    ink = x;
        EXPECT_LE(ink, *patient.text ? 8 : shown.width()) << patient.text;
    }

    // Out of navigation: the first selected implant, numbered by its place in the list.
    model->disableNavigation();
    addImplant(Vexa::Matrix44<double>());
    auto second = addImplant(Vexa::Matrix44<double>(Vexa::Vector3D(10, 0, 0)));
    model->getImplantManager()->selectImplant(second);
    model->setCapturing(true);
    bar->update();
    EXPECT_EQ(QString::fromUtf8("Implant 2: Acme Ø4.10 SØ4.80 L11.50 Screw"), bar->stateLabel()->text());
    EXPECT_EQ("Capturing", bar->captureLabel()->text());
    EXPECT_EQ(std::string("Implant 2: Acme \xC3\x98" "4.10 S\xC3\x98" "4.80 L11.50 Screw"),
              bar->stateLabel()->text().toStdString());

    // A state text longer than its share takes what the patient and capture labels leave empty,
    // which are never cut for it. The last row leaves the bar as it was.
    const auto needed = [](const QLabel* label) { return label->fontMetrics().horizontalAdvance(label->text()); };
    for (const auto& [width, capturing, name, stateWhole] :
         {std::tuple{520, true, "", true}, {520, false, "Doe^John", true}, {440, false, "", true},
          {440, true, "Doe^John", false}, {1280, true, "", true}}) {
        SCOPED_TRACE(testing::Message() << width << (capturing ? " capturing " : " ") << name);
        model->setPatientData(*name ? std::map<std::string, std::string>{{"name", name}}
                                    : std::map<std::string, std::string>{});
        model->setCapturing(capturing);
        bar->resize(width, 20);
        bar->update();
        QApplication::processEvents();
        const std::vector<int> w = widths();
        EXPECT_LE(w[0] + w[1] + w[2], width);
        EXPECT_GE(w[0], needed(bar->patientLabel()));
        EXPECT_GE(w[2], needed(bar->captureLabel()));
        EXPECT_EQ(w[1] >= needed(bar->stateLabel()), stateWhole) << w[1] << " for " << needed(bar->stateLabel());
    }

    // Navigating: tracking errors, then the calibration's phase count.
    model->enableNavigation();
    settle(42);
    // Both markers turned to face the camera (the scene's face away).
    const Vexa::Matrix44<double> facing = rotation(Vexa::Vector3D(1, 0, 0), 180.0);
    controller->setTrackerData({noise.sample(handpieceAway() * facing), noise.sample(locatorPose() * facing)});
    bar->update();
    EXPECT_EQ("Patient RMS: 0.10 Tool RMS: 0.10", bar->stateLabel()->text().toStdString());
    ASSERT_EQ(1, tickUntil(NavigationController::HandpieceCalibration, handpieceAtFrame(Calibration::mandibleFrame()), 1));
    for (int i = 0; i < 300; ++i) {
        const auto s = controller->getSnapshot();
        if (s->calibrationState == 2 && s->calibrationSamples == 17)
            break;
        tick(handpieceAtFrame(Calibration::mandibleFrame()));
    }
    bar->update();
    EXPECT_EQ(bar->getCalibrationQuality() + "  During: 17", bar->stateLabel()->text());
    EXPECT_TRUE(bar->stateLabel()->text().endsWith("  During: 17"));
    delete bar;
    model->notify(); // the bar is gone and detached
}

TEST_F(StatusAndStripTest, StripLampsValuesAndClinicalStudyMarks)
{
    auto* strip = new NavigationButtonView(model, &host, "NavigationButtons");
    host.resize(900, 120);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    strip->update();
    EXPECT_EQ(0, strip->lampChanges());
    settle(42);
    strip->update();
    strip->update();
    EXPECT_EQ(2, strip->lampChanges()) << "tool and patient turned green once";
    EXPECT_EQ("", strip->distanceLabel()->text()) << "no drill registered";
    const QImage lamps = grab(*strip);
    save(lamps, "strip");
    const QPoint tool = strip->toolLamp()->mapTo(strip, QPoint(16, 16));
    const QPoint registration = strip->registrationLamp()->mapTo(strip, QPoint(16, 16));
    EXPECT_TRUE(near(lamps.pixelColor(tool), QColor(0, 200, 0)));
    EXPECT_TRUE(near(lamps.pixelColor(registration), QColor(220, 0, 0)));

    // The drill registered over an implant: distance and angle, and two marks logged.
    model->getImplantManager()->addImplant(PlanningTest::makeImplantAt(Vexa::Vector3D(0, 0, 0), 0, 10.0));
    const Vexa::Matrix44<double> drill(Vexa::Vector3D(0, 0, -1), Vexa::Vector3D(0, 1, 0), Vexa::Vector3D(1, 0, 0),
                                       Vexa::Vector3D(-25, 0, 0));
    model->registerDrill(drill);
    QObject::connect(strip, &NavigationButtonView::doClinicalStudy, [this] { model->logUserDefinedState(); });
    QSignalSpy marks(strip, &NavigationButtonView::doClinicalStudy);
    for (int i = 0; i < 10; ++i) {
        const Vexa::Matrix44<double> tip(Vexa::Vector3D(0.2, -0.1, 3.0 - 0.3 * i));
        controller->setTrackerData({noise.sample(tip * Vexa::inverse(drill) * Vexa::inverse(model->getHandpieceLocTDrillOrigin())),
                                    noise.sample(Vexa::Matrix44<double>())});
    }
    double distance = 0, angle = 0;
    ASSERT_TRUE(model->getDistanceAndAngleFromNearestImplantToDrill(distance, angle));
    strip->update();
    EXPECT_EQ(QString::number(distance, 'f', 2), strip->distanceLabel()->text());
    EXPECT_EQ(QString::number(angle, 'f', 2), strip->angleLabel()->text());
    QTest::mouseClick(strip->clinicalStudyButton(), Qt::LeftButton);
    EXPECT_TRUE(strip->isClinicalStudy());
    QTest::mouseClick(strip->clinicalStudyButton(), Qt::LeftButton);
    EXPECT_FALSE(strip->isClinicalStudy());
    EXPECT_EQ(2, marks.count());
    model->disableNavigation();
    model->waitForTreatmentLog();
    const QStringList logs = QDir(QString::fromStdString(path("Planning/Log"))).entryList({"*.log"});
    ASSERT_EQ(1, logs.size());
    std::ifstream log(path("Planning/Log/" + logs[0].toStdString()));
    std::string line;
    int users = 0;
    while (std::getline(log, line))
        users += line.find("TYPE: USER") != std::string::npos;
    EXPECT_EQ(2, users);

    // Hidden, the strip changes nothing; gone, it is not called.
    const int changes = strip->lampChanges();
    EXPECT_EQ(3, changes) << "the registration lamp turned green";
    strip->hide();
    settle(3);
    strip->update();
    EXPECT_EQ(changes, strip->lampChanges());
    delete strip;
    model->notify();
}
