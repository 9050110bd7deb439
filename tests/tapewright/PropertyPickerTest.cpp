#include "TapewrightTestSupport.h"

#include "DemoWindow.h"
#include "common/TestSupport.h"
#include "tapewright/AdapterRegistry.h"
#include "tapewright/ChildListener.h"
#include "tapewright/ModalityOverride.h"
#include "tapewright/PlayBack.h"
#include "tapewright/PropertyPicker.h"
#include "tapewright/PropertyPickerItem.h"
#include "tapewright/Recorder.h"
#include "tapewright/RecorderDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QToolButton>
#include <QTreeWidget>

namespace {

// Runs `steps` once the named window shows, inside whatever loop runs then.
void whenShown(const QString& name, std::function<void(QWidget*)> steps)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, name, steps] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (window->objectName() == name && window->isVisible()) {
                poll->stop();
                poll->deleteLater();
                return steps(window);
            }
        }
    });
    poll->start(10);
}

QAction* actionNamed(QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

// Chooses the item of a submenu of the popup menu that opens next, however its press arrives;
// an empty title closes it.
void chooseNext(const QString& submenu, const QString& item)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, submenu, item] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || !menu->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        QAction* sub = actionNamed(menu, submenu);
        if (!sub || !sub->menu()) {
            menu->close();
            return;
        }
        menu->setActiveAction(sub);
        ASSERT_TRUE(QTest::qWaitFor([&] { return sub->menu()->isVisible(); }));
        ASSERT_NE(actionNamed(sub->menu(), item), nullptr) << item.toStdString();
        sub->menu()->setActiveAction(actionNamed(sub->menu(), item));
        QTest::keyClick(sub->menu(), Qt::Key_Return);
    });
    poll->start(10);
}

// Answers the next file dialog with a name.
void answerFile(const QString& name)
{
    QMetaObject::invokeMethod(qApp, [name] {
        QFileDialog* dialog = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] { return (dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())); }));
        dialog->selectFile(name);
        static_cast<QDialog*>(dialog)->accept();
    }, Qt::QueuedConnection);
}

QString readAll(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

class RecorderTools : public TapewrightTest::TapewrightFixture
{
protected:
    void SetUp() override
    {
        TapewrightFixture::SetUp();
        adapterRegistry();
        ChildListener::instance();
        previousDir = QDir::currentPath();
        QDir::setCurrent(dir.qpath());
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        edit = window.findChild<QLineEdit*>("edit");
    }
    void TearDown() override { QDir::setCurrent(previousDir); }

    // Plays the script; what it printed.
    QString play(const QString& script)
    {
        PlayBack player;
        QSignalSpy done(&player, &PlayBack::playbackDone);
        testing::internal::CaptureStdout();
        if (player.start(script, QString()))
            EXPECT_TRUE(done.wait(20000));
        return QString::fromStdString(testing::internal::GetCapturedStdout());
    }

    TestSupport::ScratchDir dir;
    QString previousDir;
    DemoWindow window;
    QLineEdit* edit = nullptr;
};

}

TEST_F(RecorderTools, PickedPropertiesPrintTheSameLinesAtRecordingAndPlaybackAlsoThroughASavedSet)
{
    edit->setText("picked");
    auto* list = window.findChild<QListWidget*>("list");
    for (const bool saved : {false, true}) {
        Recorder recorder;
        ASSERT_TRUE(recorder.start(dir.qpath() + "/script.tws"));
        whenShown("PropertyPicker", [&](QWidget* picker) {
            chooseNext("QLineEdit", "text");
            QTest::mouseClick(edit, Qt::LeftButton);
            chooseNext("Extension to QComboBox", "elements");
            QTest::mouseClick(window.findChild<QComboBox*>("combo"), Qt::LeftButton);
            chooseNext("Extension to QListBox", "elementAtPoint");
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(2)).center());
            chooseNext({}, {});
            QTest::mouseClick(edit, Qt::LeftButton);
            QTest::keyClicks(edit, "never");
            picker->findChild<QCheckBox*>("_writeToFile")->setChecked(saved);
            picker->findChild<QLineEdit*>("_fileName")->setText(dir.qpath() + "/set.tpw");
            picker->findChild<QPushButton*>("ok")->click();
        });
        testing::internal::CaptureStdout();
        recorder.slotShowPropertyPicker();
        const QString recorded = QString::fromStdString(testing::internal::GetCapturedStdout());
        recorder.stop();
        EXPECT_EQ(edit->text(), "picked");
        EXPECT_EQ(recorded.count('\n'), 3) << recorded.toStdString();
        for (const char* value : {"picked", "alpha, beta, gamma, delta", "entry 2"})
            EXPECT_TRUE(recorded.contains(value)) << recorded.toStdString();
        const QString script = readAll(dir.qpath() + "/script.tws");
        EXPECT_EQ(script.count("<PrintProperty"), saved ? 0 : 3) << script.toStdString();
        EXPECT_EQ(script.contains(QRegularExpression("<Include [^>]*file=\"set.tpw\"")), saved) << script.toStdString();
        EXPECT_EQ(play(dir.qpath() + "/script.tws"), recorded);
    }
}

TEST_F(RecorderTools, PickerRowsMoveDeleteAndWriteInOrderWithTheirAttributes)
{
    PropertyPicker picker;
    auto* view = picker.findChild<QTreeWidget*>("_listView");
    new PropertyPickerItem(view, "/a", "text", {});
    new PropertyPickerItem(view, "/b", "elementAtPoint", {{"name", "/list"}, {"id", "3"}});
    view->setCurrentItem(new PropertyPickerItem(view, "/c", "value", {}));
    const auto button = [&](const char* name) { return picker.findChild<QPushButton*>(name); };
    const auto written = [&] {
        QDomDocument document;
        QDomElement parent = document.createElement("Events");
        picker.writePrintProperty(parent);
        QStringList rows;
        for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
            rows << QStringList {e.tagName(), e.attribute("name"), e.attribute("property"), e.attribute("id")}.join(' ');
        return rows;
    };
    EXPECT_TRUE(button("_up")->isEnabled() && button("_delete")->isEnabled() && !button("_down")->isEnabled());
    button("_up")->click();
    button("_up")->click();
    EXPECT_TRUE(!button("_up")->isEnabled() && button("_down")->isEnabled());
    button("_down")->click();
    view->setCurrentItem(view->topLevelItem(0));
    button("_delete")->click();
    EXPECT_EQ(written(), QStringList({"PrintProperty /c value ", "PrintProperty /list elementAtPoint 3"}));
    picker.findChild<QLineEdit*>("_fileName")->setText("set.tpw");
    EXPECT_TRUE(picker.fileName().isNull());
}

TEST_F(RecorderTools, AScreenDumpActionNamesThePickedWidgetOrItsWindowAndPlaysToAPictureOfItsSize)
{
    for (const bool whole : {false, true}) {
        const QString picture = QStringLiteral("dump%1.png").arg(whole);
        Recorder recorder;
        ASSERT_TRUE(recorder.start(dir.qpath() + "/script.tws"));
        whenShown("DumpWidget", [&](QWidget* label) {
            QTest::mouseClick(label, Qt::LeftButton);
            answerFile(dir.qpath() + "/" + picture);
            QTest::mouseClick(edit, Qt::LeftButton);
        });
        whole ? recorder.slotScreenDumpDialog() : recorder.slotScreenDumpWidget();
        recorder.stop();
        const QString script = readAll(dir.qpath() + "/script.tws");
        const QString name = whole ? "/twdemo" : "/twdemo/central/edit";
        EXPECT_TRUE(script.contains(QRegularExpression(QStringLiteral("<ScreenDump [^>]*name=\"%1\"").arg(name)))) << script.toStdString();
        EXPECT_TRUE(script.contains(QStringLiteral("fileName=\"%1\"").arg(picture))) << script.toStdString();
        EXPECT_FALSE(script.contains("DumpWidget") || script.contains("QFileDialog")) << script.toStdString();
        play(dir.qpath() + "/script.tws");
        EXPECT_EQ(QImage(dir.qpath() + "/" + picture).size(), whole ? window.size() : edit->size());
    }
}

TEST_F(RecorderTools, TheSidebarFacesItsButtonsByTheSettingRunsTheActionsAndClosesWithTheLastWindow)
{
    auto& settings = TapewrightSettings::instance();
    const int bound = settings.keyBinding(7);
    settings.setKeyBinding(7, QKeySequence(Qt::CTRL | Qt::Key_F7));
    settings.setKeyBinding(6, QKeySequence());
    settings.setShowRecorderDialog(true);
    settings.setCloseRecorderDialog(true);
    const Qt::ToolButtonStyle faces[] = {Qt::ToolButtonIconOnly, Qt::ToolButtonTextOnly, Qt::ToolButtonTextBesideIcon};
    for (int view : {0, 1, 2}) {
        settings.setRecorderView(view);
        Recorder recorder;
        ASSERT_TRUE(recorder.start(dir.qpath() + "/script.tws"));
        QPointer<RecorderDialog> sidebar = recorder.sidebar();
        ASSERT_TRUE(sidebar && sidebar->isVisible());
        const auto buttons = sidebar->findChildren<QToolButton*>();
        ASSERT_EQ(buttons.size(), 10);
        for (QToolButton* button : buttons)
            EXPECT_EQ(button->toolButtonStyle(), faces[view]);
        EXPECT_EQ(buttons[7]->toolTip(), "Sleep as Last (Control + F7)");
        EXPECT_TRUE(buttons[7]->whatsThis().startsWith("<qt><p><center>Sleep as Last (Control + F7)</center></p><p>"));
        EXPECT_EQ(buttons[6]->toolTip(), "Sleep");
        EXPECT_TRUE(buttons[6]->whatsThis().startsWith("<qt><p><center>Sleep</center></p>"));
        QTest::mouseClick(buttons[7], Qt::LeftButton);
        if (view == 2) {
            window.close();
            EXPECT_FALSE(sidebar->isVisible());
        }
        recorder.stop();
        EXPECT_TRUE(sidebar.isNull());
        const QString script = readAll(dir.qpath() + "/script.tws");
        EXPECT_EQ(script.count("<Sleep"), 1) << script.toStdString();
        EXPECT_FALSE(script.contains("recorderDialog")) << script.toStdString();
    }
    settings.setKeyBinding(7, QKeySequence(bound));
}

namespace {

void xdotool(const QStringList& arguments) { QProcess::execute("xdotool", arguments); }

QStringList at(QWidget* widget)
{
    const QPoint centre = widget->mapToGlobal(widget->rect().center());
    return {"mousemove", "--sync", QString::number(centre.x()), QString::number(centre.y())};
}

}

// Real X input on a server of its own: the test program runs itself there for the scenario.
TEST_F(RecorderTools, APickThroughTheBoundKeyReachesAWindowThatAModalDialogBlocks)
{
    if (!qEnvironmentVariableIsSet("TAPEWRIGHT_PICK_SCENARIO")) {
        TestSupport::PrivateXServer display;
        if (!display.running() || QStandardPaths::findExecutable("xdotool").isEmpty() || !ModalityOverride::available())
            GTEST_SKIP() << "needs Xvfb, xdotool and Qt's private GUI interface";
        QProcess child;
        QProcessEnvironment environment = display.environment();
        environment.insert("TAPEWRIGHT_PICK_SCENARIO", "1");
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=RecorderTools.APickThroughTheBoundKey*"});
        ASSERT_TRUE(child.waitForFinished(120000));
        const QString output = child.readAllStandardOutput() + child.readAllStandardError();
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
        return;
    }
    auto& settings = TapewrightSettings::instance();
    settings.setKeyBinding(2, QKeySequence(Qt::CTRL | Qt::Key_F3));
    window.move(1200, 50);
    QDialog modal;
    modal.setObjectName("modal");
    modal.setWindowModality(Qt::ApplicationModal);
    modal.setGeometry(100, 100, 300, 200);
    modal.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&modal));
    Recorder recorder;
    ASSERT_TRUE(recorder.start(dir.qpath() + "/script.tws"));
    bool picked = false;
    whenShown("PropertyPicker", [&](QWidget* picker) {
        chooseNext("QLineEdit", "text");
        xdotool(at(edit) << "click" << "1");
        auto* rows = picker->findChild<QTreeWidget*>("_listView");
        EXPECT_TRUE(QTest::qWaitFor([&] { return rows->topLevelItemCount() == 1; }));
        picker->findChild<QPushButton*>("ok")->click();
        picked = true;
    });
    xdotool(at(&modal) << "key" << "ctrl+F3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return picked; }, 20000));
    EXPECT_EQ(QApplication::activeModalWidget(), &modal);
    recorder.stop();
    EXPECT_TRUE(readAll(dir.qpath() + "/script.tws")
                    .contains(QRegularExpression("<PrintProperty(?=[^>]*name=\"/twdemo/central/edit\")(?=[^>]*property=\"text\")")))
        << readAll(dir.qpath() + "/script.tws").toStdString();
}
