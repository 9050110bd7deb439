#include "shell/dialogs/CalibrationAcceptanceDialog.h"
#include "navigation/ICalibrationAcceptor.h"

#include "common/TestSupport.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

class RecordingAcceptor : public ICalibrationAcceptor
{
public:
    std::vector<std::string> calls;
    void acceptLastCalibration(bool accept) override { calls.push_back(accept ? "accept" : "discard"); }
    bool setStateUpdatesEnabled(bool enabled) override
    {
        calls.push_back(enabled ? "updates on" : "updates off");
        return true;
    }
};

QPushButton* button(CalibrationAcceptanceDialog& dialog, const QString& text)
{
    for (auto* b : dialog.findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
}

}

TEST(CalibrationAcceptanceDialog, ShowsQualityOnceAndEveryAnswerRestartsUpdates)
{
    RecordingAcceptor controller;
    CalibrationAcceptanceDialog dialog(&controller, nullptr);
    dialog.setModal(true);

    dialog.showQuality({1, 2}, {3.456, 4}, {5, 6.005});
    ASSERT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.qualityLine(0), "Before Calibration: \tu=1.00 s=2.00");
    EXPECT_EQ(dialog.qualityLine(1), "During Calibration: \tu=3.46 s=4.00");
    EXPECT_TRUE(dialog.qualityLine(2).startsWith("  After Calibration: \tu=5.00 s="));
    dialog.showQuality({9, 9}, {9, 9}, {9, 9}); // dropped while shown
    EXPECT_EQ(dialog.qualityLine(0), "Before Calibration: \tu=1.00 s=2.00");

    QTest::mousePress(button(dialog, "Accept"), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.getResult(), 1);
    EXPECT_EQ(controller.calls, (std::vector<std::string>{"accept", "updates on"}));

    // Escape answers like Cancel: navigation must not stay frozen.
    controller.calls.clear();
    dialog.showQuality({9, 9}, {9, 9}, {9, 9});
    EXPECT_EQ(dialog.getResult(), 0);
    EXPECT_EQ(dialog.qualityLine(0), "Before Calibration: \tu=9.00 s=9.00");
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(controller.calls, (std::vector<std::string>{"discard", "updates on"}));

    controller.calls.clear();
    dialog.showQuality({1, 1}, {1, 1}, {1, 1});
    QTest::mousePress(button(dialog, "Cancel"), Qt::LeftButton);
    EXPECT_EQ(dialog.getResult(), 0);
    EXPECT_EQ(controller.calls, (std::vector<std::string>{"discard", "updates on"}));
}

TEST(CalibrationAcceptanceDialog, ShowQualityFromAnotherThreadRunsInTheGuiThread)
{
    RecordingAcceptor controller;
    CalibrationAcceptanceDialog dialog(&controller, nullptr);
    std::thread tick([&] { dialog.showQuality({0.5, 0.25}, {1, 1}, {2, 2}); });
    tick.join();
    EXPECT_FALSE(dialog.isVisible()) << "nothing may touch the widgets from the tick thread";
    EXPECT_TRUE(TestSupport::eventually([&] {
        QApplication::processEvents();
        return dialog.isVisible();
    }));
    EXPECT_EQ(dialog.qualityLine(0), "Before Calibration: \tu=0.50 s=0.25");
    dialog.reject();
}
