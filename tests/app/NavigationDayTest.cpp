// A navigation day through the real main window: the sample patient planned with two
// implants and saved, reloaded, navigation switched on with a replayed camera that adjusts,
// registers and drills both implants; the pages follow in turn, the Target frame shows the
// final offset, and switching off stores a treatment log that tells the drilling.
#include "AppTestSupport.h"
#include "navday/NavigationDay.h"
#include "../navdisplays/DisplayTestSupport.h"

#include "navigation/NavigationController.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/dialogs/HierachyImplantSelectionDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/ViewFrame.h"
#include "views/navigation/AdjustWorkspaceView.h"
#include "views/navigation/NavigationAdjustView.h"
#include "views/navigation/RegistrationView.h"
#include "views/navigation/TargetingView.h"
#include "vexa/algorithm/PointMatching.h"
#include "vexa/algorithm/ReferenceMarkerGeometry.h"

#include <QFileInfo>
#include <QRadioButton>
#include <QStackedWidget>
#include <QToolButton>
#include <fstream>
#include <gtest/gtest.h>

using AppTest::clickButton;
using AppTest::waitFor;
using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

void click(QWidget* view, const QPointF& at)
{
    const QPoint p(int(at.x() * view->width()), int(at.y() * view->height()));
    QTest::mousePress(view, Qt::LeftButton, {}, p);
    QTest::mouseRelease(view, Qt::LeftButton, {}, p);
}

// Import, curve, 3D model with its markers, two implants from the database, then OK -> the
// lower jaw and "Save as new". Returns the planning file.
QString planTwoImplants(AppTest::DialogAnswerer& answer)
{
    MainWindow window(nullptr, Constants::NormalMode);
    const auto model = window.getModel();
    answer.then(clickButton("LoadDialog", "Start new planning"));
    answer.then([](QWidget* modal) {
        auto* list = modal->findChild<QTreeWidget*>("m_PatientTable");
        if (!list || list->topLevelItemCount() == 0)
            return false;
        ShellTest::doubleClick(list, list->topLevelItem(0));
        return true;
    });
    window.findChild<QToolButton*>("PatientButton")->click();
    QWidget* axial = window.getMainWidget()->frame("RightLowerFrame")->getView();
    for (const QPointF& f : {QPointF(0.3, 0.6), QPointF(0.5, 0.35), QPointF(0.7, 0.6)})
        click(axial, f);
    window.findChild<QToolButton*>("Generate 3DButton")->click();
    if (!waitFor([&] { return model->get3DModel() != nullptr; }))
        return {};
    for (const QPointF& at : {QPointF(0.4, 0.45), QPointF(0.6, 0.45)}) {
        window.findChild<QToolButton*>("ImplantButton")->click();
        answer.then([](QWidget* modal) {
            auto* dialog = qobject_cast<HierachyImplantSelectionDialog*>(modal);
            if (!dialog)
                return false;
            auto* all = static_cast<QTreeWidget*>(dialog->findChild<QStackedWidget*>()->widget(0));
            dialog->findChild<QStackedWidget*>()->setCurrentWidget(all);
            all->setCurrentItem(all->topLevelItem(0)->child(0)->child(0));
            QPushButton* ok = ShellTest::buttonsInOrder(*dialog).back();
            QTimer::singleShot(0, ok, [ok] { ok->click(); });
            return true;
        });
        click(axial, at);
    }
    answer.then([](QWidget* modal) {
        auto* lower = modal->findChild<QRadioButton*>(QString(), Qt::FindChildrenRecursively);
        for (auto* radio : modal->findChildren<QRadioButton*>())
            if (radio->text() == "Mandible")
                lower = radio;
        if (!lower)
            return false;
        lower->click();
        return clickButton("SaveDialog", "Save as new")(modal);
    });
    window.findChild<QToolButton*>("OKButton")->click();
    if (model->getImplantManager()->numberOfImplants() != 2 || !answer.done())
        return {};
    return QString::fromStdString(window.getSettings()->getPlanningFile());
}

// The planning's registration: reference marker geometry onto the detected markers.
Matrix44<double> patientTLocator(const Model& model)
{
    std::vector<Vector3D> markers;
    for (const auto& m : model.getMarkers())
        markers.push_back(m->getPosition());
    return Vexa::PointMatching::fitRigid(Vexa::getReferenceMarkerGeometry(), markers).transform;
}

}

TEST(NavigationDayTest, AdjustRegisterDrillTwoImplantsAndStoreTheLog)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    IPlanningUi::install(std::make_shared<ShellPlanningUi>());
    {
        // A calibration of the lower jaw on record, as the day before left it.
        std::ofstream calibration(NavigationController::calibrationFile(Constants::Mandible));
        calibration.precision(12);
        const Matrix44<double> c = NavigationScene::trueCalibration();
        for (int row = 0; row < 4; ++row)
            calibration << c[row] << ' ' << c[row + 4] << ' ' << c[row + 8] << ' ' << c[row + 12] << '\n';
    }
    AppTest::DialogAnswerer answer;
    const QString planning = planTwoImplants(answer);
    ASSERT_FALSE(planning.isEmpty()) << answer.seen.join("\n").toStdString();

    MainWindow window(nullptr, Constants::NormalMode);
    ASSERT_TRUE(window.loadPlanning(planning.toStdString()));
    const auto model = window.getModel();
    ASSERT_EQ(model->getJaw(), Constants::Mandible);
    const auto implants = model->getImplantManager()->getImplants();
    ASSERT_EQ(implants.size(), 2u);
    const std::vector<NavigationDay::Drilling> day = {{implants[0]->getTransform(), implants[0]->getLength(), 3.45},
                                                      {implants[1]->getTransform(), implants[1]->getLength(), 5.95}};
    const double finalX = 0.7, finalY = -0.5;
    {
        std::ofstream trajectory(home.path("day.txt").toStdString());
        NavigationDay::write(trajectory, patientTLocator(*model), day, finalX, finalY);
    }
    if (const char* artifacts = std::getenv("MORVANTA_ARTIFACTS"))
        QFile::copy(home.path("day.txt"), QString::fromLocal8Bit(artifacts) + "/navigation-day.txt");
    qputenv("MORVANTA_REPLAY", home.path("day.txt").toUtf8());
    auto* navigation = window.findChild<QToolButton*>("NavigationButton");
    ASSERT_TRUE(navigation->isEnabled());
    navigation->click();
    ASSERT_TRUE(window.isNavigating());

    // The pages in turn, then the last implant at its final offset.
    NavigationAdjustView* target = nullptr;
    ASSERT_TRUE(waitFor([&] {
        // No meta-object of its own: qobject_cast would take any page stack.
        for (auto* stack : window.findChildren<QStackedWidget*>())
            if (auto* view = dynamic_cast<NavigationAdjustView*>(stack); view && view->isVisible())
                target = view;
        return target != nullptr;
    }, 5000));
    std::vector<QWidget*> pages;
    const Vector3D finalTip = (implants[1]->getTransform() * Matrix44<double>(Vector3D(finalX, finalY, 5.95 - 1.0))).getTranslation();
    const bool arrived = waitFor([&] {
        if (pages.empty() || pages.back() != target->currentWidget())
            pages.push_back(target->currentWidget());
        return model->getNearestImplantToDrill() == implants[1]
               && (model->getPatientTDrill().getTranslation() - finalTip).length() < 0.01;
    }, 20000);
    QApplication::processEvents();
    QTest::qWait(300); // the pages refresh 15 times a second
    const QImage frame = DisplayTest::grab(*target);
    DisplayTest::save(frame, "navigation-day-target");
    DisplayTest::save(window.grab().toImage(), "navigation-day-window");
    ASSERT_TRUE(arrived) << pages.size();
    // Targeting shows between the adjustment and the drill reaching point A.
    const std::vector<QWidget*> expected = {target->adjustPage(), target->targetingPage(), target->registrationPage(),
                                            target->targetingPage()};
    EXPECT_EQ(pages, expected) << pages.size();
    EXPECT_NEAR(model->getDrillLength(), NavigationDay::drillLength, 0.01);

    // The position dot where the implant's axis crosses the drill tip's plane (x runs down,
    // 0.2 units per mm); the axis parallel to the drill puts the excursion disc at the centre;
    // the target disc green around them. Probes 4 to 8 px off the cross lines.
    const int w = frame.width(), h = frame.height(), m = std::min(w, h);
    const double cx = 0.558 * w, cy = 0.517 * h, unit = 0.3 * m;
    const QPoint dot(int(cx + unit * 0.2 * -finalY), int(cy + unit * 0.2 * -finalX));
    EXPECT_TRUE(DisplayTest::near(frame.pixelColor(dot + QPoint(4, 4)), Qt::blue));
    EXPECT_TRUE(DisplayTest::near(frame.pixelColor(int(cx) - 8, int(cy) + 8), QColor(78, 140, 4)));
    EXPECT_TRUE(DisplayTest::near(frame.pixelColor(int(cx - 0.5 * unit), int(cy + 0.5 * unit)), Qt::green));
    EXPECT_FALSE(DisplayTest::near(frame.pixelColor(int(cx) - 4, int(cy - 0.6 * unit)), Qt::blue)) << "one dot only";

    navigation->click();
    EXPECT_FALSE(window.isNavigating());
    qunsetenv("MORVANTA_REPLAY");

    // The log: every section in order, the drilling to its depths.
    const QStringList logs = QDir(QFileInfo(planning).absolutePath() + "/Log").entryList({"*.log"}, QDir::Files);
    ASSERT_EQ(logs.size(), 1);
    const auto log = NavigationDay::read(QFileInfo(planning).absolutePath() + "/Log/" + logs.front());
    EXPECT_EQ(log.sections.join(" | ").toStdString(),
              "ACTION: START TREATMENT | ACTION: PATIENT | ACTION: FILE | NUMBER OF IMPLANTS | PLANNED POSITION | "
              "ACTION: NO CALIBRATION | ACTION: REGISTERED | PROTOCOL SLICES | MEASURED POSITION | "
              "ACTION: IMPLANT 1  TYPE | ACTION: IMPLANT 2  TYPE | Following data is an INTERNAL FORMAT");
    for (int k = 0; k < 2; ++k) {
        EXPECT_NEAR(log.deepest.at(k + 1), day[k].depth, 0.1) << k;
        EXPECT_GE(log.rows.at(k + 1), int(day[k].length - day[k].depth)) << "a row every half millimetre";
    }
    IPlanningUi::install(nullptr);
}
