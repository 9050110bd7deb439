#include "TapewrightTestSupport.h"

#include "common/TestSupport.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/KeyButton.h"
#include "tapewright/LinkFramer.h"
#include "tapewright/Recorder.h"
#include "tapewright/PlayBack.h"
#include "tapewright/TapewrightConfig.h"
#include "vexa/io/EncFile.h"
#include "vexa/io/LogFileKey.h"

#include <QBuffer>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QDomDocument>
#include <QFile>
#include <QProcess>
#include <QTabWidget>
#include <QScopeGuard>
#include <QTimer>

namespace {

// An argument vector that TapewrightConfig may shorten in place.
struct Arguments
{
    explicit Arguments(std::vector<std::string> list) : strings(std::move(list))
    {
        for (std::string& s : strings)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
        argc = int(strings.size());
    }
    std::vector<std::string> remaining() const { return {pointers.begin(), pointers.begin() + argc}; }
    std::vector<std::string> strings;
    std::vector<char*> pointers;
    int argc;
};

struct Warned
{
    Warned() { TapewrightConfig::setWarningSink([this](const QString&, const QString& text) { texts << text; }); }
    ~Warned() { TapewrightConfig::setWarningSink({}); }
    QStringList texts;
};

QString readAll(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void writeFile(const QString& name, const QByteArray& text)
{
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

// Every stored control away from its default.
const QByteArray everyControl = R"(<?xml version="1.0" encoding="UTF-8"?>
<TapewrightConfig errorMessageLocation="dialog" compressTime="1" ignoreMouseMovement="1" outputLocation="file"
 outputFileName="out put.txt" showRecorderConnectionClosed="1" absoluteTimeStamps="1" showRecorderDialog="1"
 recorderView="1" closeRecorderDialog="1" endPlayBackDialog="1" moveToplevels="1" resizeToplevels="1"
 displayMouseMovement="1" creationTimeOut="700" missingWidget="3" writeLocalScriptFile="1">
 <Adapters/>
 <KeyBindings>
  <KeyBinding action="0" keycode="67108948"/><KeyBinding action="1" keycode="16777266"/>
  <KeyBinding action="2" keycode="0"/><KeyBinding action="3" keycode="16777267"/>
  <KeyBinding action="4" keycode="33554513"/><KeyBinding action="5" keycode="16777268"/>
  <KeyBinding action="6" keycode="16777269"/><KeyBinding action="7" keycode="16777270"/>
  <KeyBinding action="8" keycode="16777271"/>
 </KeyBindings>
</TapewrightConfig>
)";

class Config : public TapewrightTest::TapewrightFixture
{
protected:
    std::unique_ptr<TapewrightConfig> make(std::vector<std::string> args, bool units = false, QString prefix = QString())
    {
        args.insert(args.begin(), "prog");
        arguments = std::make_unique<Arguments>(std::move(args));
        return std::make_unique<TapewrightConfig>(arguments->argc, arguments->pointers.data(), units, prefix);
    }
    TestSupport::ScratchDir dir;
    std::unique_ptr<Arguments> arguments;
};

}

TEST_F(Config, OptionsActInOrderAndLeaveTheRestForTheHost)
{
    struct Case
    {
        std::vector<std::string> args;
        QString prefix;
        std::vector<std::string> left;
        ExecutionMode mode;
        QString script;
        int port;
        bool remote;
    };
    const Case cases[] = {
        {{"-record", "-script", "s.tpw", "data"}, "", {"prog", "data"}, ExecutionMode::Recording, "s.tpw", 4242, false},
        {{"-xrecord", "-record"}, "x", {"prog", "-record"}, ExecutionMode::Recording, "script.tpw", 4242, false},
        {{"-script"}, "", {"prog"}, ExecutionMode::Normal, "script.tpw", 4242, false},
        {{"-port", "abc"}, "", {"prog"}, ExecutionMode::Normal, "", 4242, true},
        {{"-port", "99999"}, "", {"prog"}, ExecutionMode::Normal, "", 4242, true},
        {{"-playback", "-port", "5000", "-Record"}, "", {"prog", "-Record"}, ExecutionMode::PlayBack, "", 5000, true},
        {{"-script", "-record", "x"}, "", {"prog", "x"}, ExecutionMode::Normal, "-record", 4242, false},
        {{"-script", "d\xc3\xa9j\xc3\xa0.tpw"}, "", {"prog"}, ExecutionMode::Normal, QString::fromUtf8("d\xc3\xa9j\xc3\xa0.tpw"), 4242, false},
    };
    for (const Case& c : cases) {
        auto config = make(c.args, false, c.prefix);
        SCOPED_TRACE(c.args.front());
        EXPECT_EQ(arguments->remaining(), c.left);
        EXPECT_EQ(config->mode(), c.mode);
        EXPECT_EQ(config->scriptFile(), c.remote ? QString() : c.script);
        EXPECT_EQ(config->port(), c.port);
    }
    // The prefix comes from the environment when the host gives none.
    qputenv("TAPEWRIGHTPREFIX", "tw");
    auto prefixed = make({"-twplayback", "-playback"});
    qunsetenv("TAPEWRIGHTPREFIX");
    EXPECT_EQ(prefixed->mode(), ExecutionMode::PlayBack);
    EXPECT_EQ(arguments->remaining(), (std::vector<std::string> {"prog", "-playback"}));
    // The later of -noconfig and -config wins: a shown dialog is cancelled (0), an unshown one applies (1).
    for (const auto& [args, result] : {std::pair {std::vector<std::string> {"-noconfig", "-config"}, 0},
                                       std::pair {std::vector<std::string> {"-config", "-noconfig"}, 1}}) {
        auto config = make(args);
        QTimer::singleShot(50, config.get(), &QDialog::reject);
        EXPECT_EQ(config->exec(), result);
    }
}

TEST_F(Config, AConfigFileOptionActsAtItsPlaceInTheLine)
{
    const QString file = dir.qpath() + "/c.xml";
    writeFile(file, R"(<TapewrightConfig outputLocation="file" outputFileName="fromfile.txt"/>)");
    auto before = make({"-output", "first.txt", "-configfile", file.toStdString()});
    EXPECT_EQ(before->outputFileName(), "fromfile.txt");
    auto after = make({"-configfile", file.toStdString(), "-output", "last.txt"});
    EXPECT_EQ(after->outputFileName(), "last.txt");
}

TEST_F(Config, HelpEndsTheProgramWithStatus255BeforeLaterOptions)
{
    QProcess twdemo;
    twdemo.start(TWDEMO_PROGRAM, {"-help", "-record", "--drive", "quit"});
    ASSERT_TRUE(twdemo.waitForFinished(30000));
    EXPECT_EQ(twdemo.exitCode(), 255);
    const QString help = QString::fromLocal8Bit(twdemo.readAllStandardOutput());
    EXPECT_TRUE(help.contains("\n  -help Show this help screen\n")) << help.toStdString();
    EXPECT_TRUE(help.contains("\n  -port <port> Tells Tapewright to use the given port for remote communication\n"));
}

TEST_F(Config, EveryStoredControlRoundTripsAndBadValuesChangeNothing)
{
    const QString source = dir.qpath() + "/every.xml", first = dir.qpath() + "/first.xml", second = dir.qpath() + "/second.xml";
    writeFile(source, everyControl);
    Warned warned;
    auto config = make({});
    config->loadConfig(source);
    config->saveConfig(first);
    auto fresh = make({});
    fresh->loadConfig(first);
    fresh->saveConfig(second);
    EXPECT_TRUE(warned.texts.isEmpty()) << warned.texts.join("\n").toStdString();
    QDomDocument expected, saved;
    ASSERT_TRUE(expected.setContent(everyControl));
    ASSERT_TRUE(saved.setContent(readAll(first)));
    const QDomNamedNodeMap attributes = expected.documentElement().attributes();
    for (int i = 0; i < attributes.count(); ++i) {
        const QDomAttr attribute = attributes.item(i).toAttr();
        EXPECT_EQ(saved.documentElement().attribute(attribute.name()), attribute.value()) << attribute.name().toStdString();
    }
    EXPECT_EQ(readAll(first), readAll(second));
    EXPECT_TRUE(readAll(first).contains(R"(<KeyBinding keycode="33554513" action="4"/>)") ||
                readAll(first).contains(R"(<KeyBinding action="4" keycode="33554513"/>)"));

    // Out-of-range combo indexes are refused with a warning; nothing else moves.
    const QString bad = dir.qpath() + "/bad.xml", third = dir.qpath() + "/third.xml";
    writeFile(bad, R"(<TapewrightConfig missingWidget="9" recorderView="-1"/>)");
    fresh->loadConfig(bad);
    fresh->saveConfig(third);
    EXPECT_EQ(readAll(third), readAll(first));
    EXPECT_EQ(warned.texts.size(), 2);
}

TEST_F(Config, UnexpectedNodesWarnOnceEachAndReadingGoesOn)
{
    Warned warned;
    auto config = make({});
    const QString file = dir.qpath() + "/odd.xml";
    writeFile(file, R"(<TapewrightConfig><!-- fine here --><ADAPTERS><!-- not here --><adapter id="x" on="1"/></ADAPTERS>
        <keybindings><keybinding action="9" keycode="65"/><keybinding action="3" keycode="66"/></keybindings><Other/></TapewrightConfig>)");
    config->loadConfig(file);
    ASSERT_EQ(warned.texts.size(), 3);
    EXPECT_TRUE(warned.texts[0].contains("expected an Adapter element"));
    EXPECT_TRUE(warned.texts[1].contains("expected an Adapter element"));
    EXPECT_TRUE(warned.texts[2].contains("unknown element Other"));
    config->loadConfig(dir.qpath() + "/missing.xml");
    writeFile(file, "not xml at all");
    config->loadConfig(file);
    ASSERT_EQ(warned.texts.size(), 5);
    EXPECT_EQ(warned.texts[3], "Unabled to load configuration file.");
    EXPECT_TRUE(warned.texts[4].contains("not well-formed"));
}

TEST_F(Config, AFilePastTheBoundsOfAScriptIsRefusedNamedAndChangesNothing)
{
    QStringList reports;
    setErrorSink([&reports](bool, const QString& message) { reports << message; });
    Warned warned;
    const auto repeated = [](const char* pattern, int n) {
        QByteArray text;
        for (int i = 0; i < n; ++i)
            text += QByteArray(pattern).replace("%", QByteArray::number(i));
        return text;
    };
    const QByteArray defaults = "<!DOCTYPE TapewrightConfig [<!ATTLIST TapewrightConfig" + repeated(" d% CDATA '1'", 100000) + ">]>\n";
    const struct
    {
        QByteArray text;
        QString reason;
    } cases[] = {
        {"<TapewrightConfig" + repeated(" x%=''", 100000) + "/>", "has an element on line 1 with more than 64 attributes"},
        {defaults + "<TapewrightConfig/>", "is larger than 1 MiB, the limit for a configuration file"},
        {defaults.left(100000) + ">]>\n<TapewrightConfig/>", "has a document type declaration on line 1, which a configuration file may not have"},
        {"<?xml version=\"1.0\"?>\n<TapewrightConfig>\n<Adapters/>\n<Other text=\"\xe9t\xe9\"/></TapewrightConfig>",
         "is not encoded in UTF-8 (it holds the bytes 0xe9 0x74 on line 4)"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><TapewrightConfig compressTime=\"1\"/>",
         "is not encoded in UTF-8 (it declares the encoding 'ISO-8859-1')"},
        {"<TapewrightConfig>" + QByteArray("<a>").repeated(50000) + QByteArray("</a>").repeated(50000) + "</TapewrightConfig>",
         "nests its elements deeper than 128 levels"},
    };
    auto config = make({});
    const QString before = dir.qpath() + "/before.xml", after = dir.qpath() + "/after.xml", file = dir.qpath() + "/refused.xml";
    config->saveConfig(before);
    for (const auto& c : cases) {
        reports.clear();
        writeFile(file, c.text);
        config->loadConfig(file);
        EXPECT_EQ(reports, QStringList("Configuration file '" + file + "' " + c.reason + "; it is not read"));
        config->saveConfig(after);
        EXPECT_EQ(readAll(after), readAll(before)) << c.reason.toStdString();
    }
    EXPECT_EQ(warned.texts, QStringList());

    // What Save Config writes loads in silence, also with an adapter list far longer than any.
    reports.clear();
    config->loadConfig(before);
    QByteArray many = everyControl;
    many.replace("<Adapters/>", "<Adapters>" + repeated("<Adapter id=\"QSomeWidget%::setSomething\" on=\"1\"/>\n", 5000) + "</Adapters>");
    ASSERT_GT(many.size(), 200 * 1024);
    writeFile(file, many);
    config->loadConfig(file);
    EXPECT_EQ(reports, QStringList());
    EXPECT_EQ(warned.texts, QStringList());
    EXPECT_EQ(config->outputFileName(), "out put.txt");
    setErrorSink({});
}

TEST_F(Config, PagesFollowTheModeAndTheRemoteSwitches)
{
    auto config = make({});
    auto* tabs = config->findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    // General, Recording, Adapters, Key Bindings, Play back, Remote control
    const std::vector<std::pair<ExecutionMode, std::vector<bool>>> table = {
        {ExecutionMode::Normal, {true, false, false, false, false, false}},
        {ExecutionMode::Recording, {true, true, true, true, false, true}},
        {ExecutionMode::PlayBack, {true, false, false, false, true, true}},
    };
    for (const auto& [mode, enabled] : table) {
        QMetaObject::invokeMethod(config.get(), "slotModeChange", Q_ARG(int, int(mode)));
        for (int i = 0; i < tabs->count(); ++i)
            EXPECT_EQ(tabs->isTabEnabled(i), enabled[size_t(i)]) << int(mode) << " " << tabs->tabText(i).toStdString();
    }
}

TEST_F(Config, MissingWidgetPolicyMapsByItemWithQuitWinning)
{
    const int values[] = {0, 0x1, 0x10, 0x11, 0x100, 0x101};
    for (int item = 0; item < 6; ++item)
        EXPECT_EQ(TapewrightConfig::missingWidgetItem(TapewrightConfig::missingWidgetValue(item)), item);
    EXPECT_EQ(TapewrightConfig::missingWidgetItem(0x110), 4);
    EXPECT_EQ(TapewrightConfig::missingWidgetValue(9), 0);
    EXPECT_EQ(TapewrightConfig::missingWidgetValue(3), values[3]);
}

TEST_F(Config, RepeatedStartsCloseTheFirstRecordingAndAMissingUnitIsContinuable)
{
    auto config = make({"-record", "-noconfig"}, true);
    config->exec();
    QWidget window;
    QBuffer first, second;
    config->startWithDevice(&window, &first);
    EXPECT_TRUE(window.isVisible());
    config->startWithDevice(&window, &second);
    EXPECT_TRUE(first.data().endsWith("</Events>")) << first.data().toStdString();
    config->endRecording();
    config->endRecording();
    EXPECT_TRUE(second.data().endsWith("</Events>"));
    EXPECT_EQ(second.data().count("</Events>"), 1);

    // A second start while playing is ignored: the script is not played from the start again.
    const QString script = dir.qpath() + "/s.tpw";
    writeFile(script, "<Events><Version id=\"3\"/><Sleep msec=\"3000\"/></Events>");
    auto player = make({"-playback", "-noconfig", "-script", script.toStdString()}, true);
    player->exec();
    QWidget shown;
    player->startWithFile(&shown);
    ASSERT_TRUE(player->playBackUnit()->isPlaying());
    TapewrightTest::Warnings warnings;
    player->startWithFile(&shown);
    EXPECT_TRUE(warnings.messages.join("\n").contains("already")) << warnings.messages.join("\n").toStdString();
    player->playBackUnit()->endPlayBack();

    auto noUnits = make({"-playback", "-noconfig"}, false);
    noUnits->exec();
    QWidget other;
    noUnits->startWithFile(&other);
    EXPECT_TRUE(other.isVisible()) << "the host goes on without the unit";
}

TEST(LinkFramer, PiecesAreCutAtSeparatorLinesWhateverTheReads)
{
    const QByteArray a = "<KeyPress name=\"/w\" text=\" -+-*-+-*- \"/>", b = "<Sleep msec=\"3\"/>";
    const QByteArray stream = LinkFramer::frame(a) + LinkFramer::frame(b) + "<Tail";
    for (int chunk : {1, 2, 5, 9, 64, int(stream.size())}) {
        LinkFramer framer;
        QList<QByteArray> pieces;
        for (qsizetype at = 0; at < stream.size(); at += chunk)
            pieces += framer.feed(stream.mid(at, chunk));
        ASSERT_EQ(pieces.size(), 2) << chunk;
        EXPECT_EQ(pieces[0].trimmed(), a);
        EXPECT_EQ(pieces[1].trimmed(), b);
        EXPECT_EQ(framer.pending(), 5);
    }
    // An element as large as the recorder's largest (a snapshot of some ten MB) comes through whole.
    LinkFramer large;
    EXPECT_EQ(large.feed(LinkFramer::frame(QByteArray(12 * 1024 * 1024, 'y'))).size(), 1);
    EXPECT_FALSE(large.overflowed());
    LinkFramer flood;
    const QByteArray block(64 * 1024, 'x');
    for (qsizetype fed = 0; fed <= LinkFramer::maxPieceBytes && !flood.overflowed(); fed += block.size())
        EXPECT_TRUE(flood.feed(block).isEmpty());
    EXPECT_TRUE(flood.overflowed());
    EXPECT_TRUE(flood.feed(LinkFramer::frame(b)).isEmpty());
}

namespace {

Vexa::Rijndael logCipher() { return Vexa::Rijndael(128, Vexa::getLogFileKey()); }

struct Typed
{
    Typed()
    {
        top.setObjectName("host");
        edit = new QLineEdit(&top);
        edit->setObjectName("edit");
    }
    void type(const char* text)
    {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&top));
        top.activateWindow();
        edit->setFocus();
        QTest::keyClicks(edit, text);
        QCoreApplication::processEvents();
    }
    QWidget top;
    QLineEdit* edit;
};

}

TEST_F(Config, TheHostsEncryptedLogHoldsTheRecordingAlsoOverTheLink)
{
    // A plain copy would land in the working folder ("script.tpw"): look there afterwards.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.qpath());
    const auto back = qScopeGuard([&] { QDir::setCurrent(previous); });
    const QString log = dir.qpath() + "/session.log";
    {
        auto config = make({"-record", "-noconfig"}, true);
        config->exec();
        Typed host;
        Vexa::EncFile file(log, logCipher());
        config->startWithDevice(&host.top, &file);
        host.type("secret");
        config->endRecording();
    }
    QProcess openssl;
    openssl.start("openssl", {"enc", "-d", "-aes-128-ecb", "-K", QByteArray(Vexa::getLogFileKey().data(), 16).toHex(), "-in", log});
    ASSERT_TRUE(openssl.waitForFinished(30000));
    const QByteArray script = openssl.readAllStandardOutput();
    QDomDocument parsed;
    ASSERT_TRUE(parsed.setContent(script)) << script.toStdString();
    EXPECT_TRUE(script.endsWith("</Events>"));
    {
        auto config = make({"-playback", "-noconfig"}, true);
        config->exec();
        Typed host;
        Vexa::EncFile file(log, logCipher());
        config->startWithDevice(&host.top, &file);
        ASSERT_TRUE(TestSupport::eventually([&] { QCoreApplication::processEvents(); return !config->playBackUnit()->isPlaying(); }, std::chrono::milliseconds(20000)));
        EXPECT_EQ(host.edit->text(), "secret");
    }

    // Remote recording: the elements go to the peer, the log stays the only local copy.
    QFile::remove(log);
    QTcpServer peer;
    ASSERT_TRUE(peer.listen(QHostAddress::LocalHost, 0));
    auto config = make({"-record", "-noconfig", "-host", "127.0.0.1", "-port", std::to_string(peer.serverPort())}, true);
    config->exec();
    Typed host;
    Vexa::EncFile file(log, logCipher());
    config->startWithDevice(&host.top, &file);
    ASSERT_TRUE(peer.waitForNewConnection(10000));
    QTcpSocket* socket = peer.nextPendingConnection();
    ASSERT_TRUE(TestSupport::eventually([&] { QCoreApplication::processEvents(); return host.top.isVisible(); }));
    config->startWithDevice(&host.top, &file);   // a second start sets up no second link
    host.type("pin");
    config->endRecording();
    ASSERT_TRUE(TestSupport::eventually([&] { QCoreApplication::processEvents(); return socket->state() != QAbstractSocket::ConnectedState || socket->bytesAvailable() > 0; }));
    QCoreApplication::processEvents();
    const QByteArray sent = socket->readAll();
    EXPECT_EQ(sent.count("<KeyPress"), 3) << sent.toStdString();
    EXPECT_GE(sent.count(" -+-*-+-*- \n"), 4);
    for (const QString& name : QDir(dir.qpath()).entryList(QDir::Files)) {
        QFile stored(dir.qpath() + "/" + name);
        ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
        EXPECT_FALSE(stored.readAll().contains("KeyPress")) << name.toStdString();
    }
}

TEST_F(Config, KeyButtonsCaptureCombinationsAndThePageWarnsAboutMetaAndTwins)
{
    auto config = make({"-record"});
    config->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(config.get()));
    config->findChild<QTabWidget*>()->setCurrentIndex(3);
    const QList<KeyButton*> buttons = config->findChildren<KeyButton*>("button");
    ASSERT_EQ(buttons.size(), TapewrightSettings::actionCount);
    for (KeyButton* button : buttons)
        button->setKeyCode(0);
    KeyButton* stop = buttons[0];
    QTest::mouseClick(stop, Qt::LeftButton);
    // The window's focus, whether or not the window system has made the window active yet (on a
    // shared display another test's window may hold that).
    EXPECT_EQ(config->focusWidget(), stop);
    // Control+A: taken at the release of A, kept when Control goes up afterwards.
    QTest::keyPress(stop, Qt::Key_Control, Qt::ControlModifier);
    EXPECT_EQ(stop->text(), "Control + ");
    QTest::keyPress(stop, Qt::Key_A, Qt::ControlModifier);
    QTest::keyRelease(stop, Qt::Key_A, Qt::ControlModifier);
    QTest::keyRelease(stop, Qt::Key_Control, Qt::NoModifier);
    EXPECT_EQ(stop->text(), "Control + A");
    EXPECT_EQ(stop->keyCode(), (Qt::ControlModifier | Qt::Key_A).toCombined());
    auto* warning = config->findChild<QLabel*>("bindingWarning");
    EXPECT_TRUE(warning->text().isEmpty());
    buttons[6]->setKeyCode((Qt::ControlModifier | Qt::Key_A).toCombined());
    buttons[1]->setKeyCode((Qt::MetaModifier | Qt::Key_F5).toCombined());
    EXPECT_TRUE(warning->text().contains("\"Stop\" and \"Sleep\" have the same key")) << warning->text().toStdString();
    EXPECT_TRUE(warning->text().contains("\"Show Message Box\" uses the Meta key"));
    QTest::qWait(50);
    config->grab().save(QStringLiteral(MORVANTA_BINARY_DIR "/tests/tapewright/config_keybindings.png"));
    config->findChild<QTabWidget*>()->setCurrentIndex(0);
    QTest::qWait(50);
    config->grab().save(QStringLiteral(MORVANTA_BINARY_DIR "/tests/tapewright/config_general.png"));
}
