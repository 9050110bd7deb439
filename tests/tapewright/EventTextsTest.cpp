#include "TapewrightTestSupport.h"

#include "tapewright/QtCompat.h"
#include "tapewright/TapewrightUtil.h"

#include <QCursor>
#include <QDomDocument>
#include <QMouseEvent>

using namespace TapewrightUtil;
using namespace TapewrightTest;

TEST_F(TapewrightFixture, TextFormsAndTheirParsers)
{
    EXPECT_EQ(stateToText(0x301), "Left, Shift, Control");
    EXPECT_EQ(textToState(" Left ,shift,,CONTROL"), 0x301);
    EXPECT_TRUE(stateToText(0).isNull());
    EXPECT_EQ(stateToText(0x800), "") << "Meta is not written";
    for (int state = 0; state < 0x800; ++state) {
        if ((state & ~0x707) == 0) {
            ASSERT_EQ(textToState(stateToText(state)), state);
        }
    }
    const std::pair<int, const char*> buttons[] = {{1, "Left"}, {2, "Right"}, {4, "Mid"}, {8, "No"}, {0, "No"}};
    for (const auto& [button, text] : buttons) {
        EXPECT_EQ(buttonToText(button), QLatin1String(text));
        EXPECT_EQ(textToButton(text), button == 8 ? 0 : button);
    }
    EXPECT_EQ(textToOrientation(orientationToText(0)), Qt::Horizontal);
    EXPECT_EQ(textToOrientation(" Horizontal "), Qt::Horizontal);
    EXPECT_EQ(textToOrientation("sideways"), Qt::Vertical);
    EXPECT_TRUE(toBool(" TRUE ") && toBool("1") && !toBool("yes"));
    EXPECT_EQ(stripDirectoryPrefix("/work", "/work/scripts/run1"), "scripts/run1");
    EXPECT_EQ(stripDirectoryPrefix("/work", "/workshop/run1"), "/workshop/run1");
}

TEST_F(TapewrightFixture, FocusReasonsAndEventTypesRoundTrip)
{
    for (int reason = 0; reason <= 6; ++reason) {
        EXPECT_EQ(textToFocusReason(focusReasonToText(reason).toUpper()), reason);
        EXPECT_EQ(QtCompat::focusReasonFromQt(QtCompat::toQtFocusReason(reason)), reason);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(focusReasonToText(9), "Other");
    EXPECT_EQ(textToFocusReason("sideways"), 6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown focus reason: 9\nUnknown focus reason: sideways\n");

    int names = 0;
    for (int type = 0; type < 100; ++type) {
        if (eventTypeName(type).isEmpty())
            continue;
        ++names;
        EXPECT_EQ(textToEventType(eventTypeToText(type)), type);
    }
    EXPECT_EQ(names, 68);
    EXPECT_EQ(eventTypeName(70), "ChildInserted");
    EXPECT_EQ(QtCompat::toQtEventType(30), QEvent::Shortcut);
    EXPECT_EQ(QtCompat::toQtEventType(70), QEvent::ChildAdded);
    EXPECT_EQ(QtCompat::eventTypeFromQt(QEvent::ContextMenu), 82);
    Warnings warnings;
    EXPECT_EQ(textToEventType("mousebuttonpress"), 0);
    EXPECT_EQ(eventTypeToText(41), "None");
    EXPECT_EQ(warnings.messages, QStringList({"Unknow type: mousebuttonpress", "Unhandled event: 41"}));
}

TEST_F(TapewrightFixture, MouseAttributesAcceptOnlyMouseTypes)
{
    QDomDocument document;
    QDomElement element = document.createElement("QListView::mouseEvent");
    const QMouseEvent release(QEvent::MouseButtonRelease, QPointF(7, 9), QPointF(7, 9), Qt::LeftButton,
                              Qt::NoButton, Qt::ShiftModifier);
    writeMouseAttributes(element, &release, true);
    EXPECT_EQ(element.attribute("type"), "MouseButtonRelease");
    EXPECT_EQ(element.attribute("state"), "Left, Shift") << "the state before the release";
    int type = 0, button = 0, state = 0;
    QPoint pos;
    ASSERT_TRUE(readMouseAttributes(element, &type, &button, &state, &pos));
    EXPECT_EQ(type, QEvent::MouseButtonRelease);
    EXPECT_EQ(button, 1);
    EXPECT_EQ(state, 0x101);
    EXPECT_EQ(pos, QPoint(7, 9));

    Warnings warnings;
    testing::internal::CaptureStderr();
    for (const char* bad : {"KeyPress", "Paint", ""}) {
        element.setAttribute("type", bad);
        EXPECT_FALSE(readMouseAttributes(element, &type, nullptr, nullptr, nullptr)) << bad;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr().size() > 0, true);
}

TEST_F(TapewrightFixture, ButtonlessMovesOnlyMoveTheCursorUnlessMovementIsIgnored)
{
    struct Probe : QWidget
    {
        int moves = 0;
        void mouseMoveEvent(QMouseEvent*) override { ++moves; }
    } widget;
    widget.setMouseTracking(true);
    widget.setGeometry(100, 100, 200, 200);
    widget.show();
    QMouseEvent move(QEvent::MouseMove, QPointF(20, 30), QPointF(20, 30), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    sendMouseEvent(&widget, &move);
    EXPECT_EQ(widget.moves, 0);
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        EXPECT_EQ(QCursor::pos(), widget.mapToGlobal(QPoint(20, 30)));
    }
    TapewrightSettings::instance().setIgnoreMouseMovement(true);
    sendMouseEvent(&widget, &move);
    EXPECT_EQ(widget.moves, 1);
}
