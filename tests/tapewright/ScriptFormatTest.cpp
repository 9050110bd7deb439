#include "TapewrightTestSupport.h"

#include "common/TestSupport.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/PlayBack.h"
#include "tapewright/Recorder.h"
#include "tapewright/Script.h"
#include "tapewright/ScriptElements.h"
#include "tapewright/ScriptReader.h"
#include "tapewright/ScriptWriter.h"
#include "vexa/core/DetachableCall.h"
#include "vexa/io/EncFile.h"
#include "vexa/io/LogFileKey.h"

#include <QBuffer>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <new>
#include <map>
#include <mutex>

using namespace TapewrightTest;

namespace {

using Attributes = std::map<QString, QString>;
using Element = std::pair<QString, Attributes>;

Element described(const QDomElement& element)
{
    Attributes attributes;
    const QDomNamedNodeMap map = element.attributes();
    for (int i = 0; i < map.count(); ++i)
        attributes[map.item(i).nodeName()] = map.item(i).nodeValue();
    return {element.tagName(), attributes};
}

// A node with everything a player may look at: kinds, names, values (null or not), attributes
// and children in order.
QString tree(const QDomNode& node)
{
    QString text = QString("%1 %2").arg(int(node.nodeType())).arg(node.nodeName());
    if (node.isElement()) {
        const Attributes attributes = described(node.toElement()).second;
        for (const auto& [name, value] : attributes)
            text += QString(" %1=[%2]%3").arg(name, value, node.toElement().attribute(name).isNull() ? "null" : "");
    } else {
        text += " [" + node.nodeValue() + "]";
    }
    for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling())
        text += " {" + tree(child) + "}";
    return text;
}

}

TEST_F(TapewrightFixture, StepsReadAsTheDocumentParserReadsThem)
{
    const QList<QByteArray> scripts = {
        "<Events>\n  <KeyPress name=\"/a/\xc3\xa4\" text=\"&lt;&amp;&#10;x\ty\" key=\"A\"/>  <!-- between -->\n text between \n"
        "<PrintProperty name=\"/a\" property=\"text\">  one &amp; two </PrintProperty>"
        "<X><![CDATA[ <raw> ]]><![CDATA[   ]]>  <?pi data?><!--c--><![CDATA[]]>\xc2\xa0</X></Events>",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<EVENTS>\r\n<Information text=\"\xc3\xa4\r\nb\" title=\"\"/>\r\n</EVENTS>",
        "\xef\xbb\xbf<?xml version='1.0'?><!-- c --><?pi x?>\n<Events><Information text=\"&lt;&#x2200;\"/><P><![CDATA[a=\"b\"]]> <Q/></P></Events>",
        "<Events><QListView..mouseEvent name=\"/t\"><ChildPath>\n <Child col0=\"a\" index=\"0\"><Child col0=\"b\"/></Child>"
        "<!-- c --><Child col0=\"\"/></ChildPath></QListView..mouseEvent><Include file=\"\"/></Events>",
        "<Events/>",
    };
    for (const QByteArray& text : scripts) {
        SCOPED_TRACE(text.toStdString());
        QDomDocument expected, read;
        ASSERT_TRUE(expected.setContent(text, false));
        ASSERT_TRUE(ScriptReader::parse(text, "s", read));
        EXPECT_EQ(read.documentElement().tagName(), expected.documentElement().tagName());
        const QList<QDomElement> steps = ScriptReader::steps(read), expectedSteps = ScriptReader::steps(expected);
        ASSERT_EQ(steps.size(), expectedSteps.size());
        for (int i = 0; i < steps.size(); ++i)
            EXPECT_EQ(tree(steps[i]).toStdString(), tree(expectedSteps[i]).toStdString()) << i;
        // And step by step with their lines, as the player takes them.
        Script script;
        ASSERT_TRUE(script.read(text, "s"));
        EXPECT_EQ(script.stepCount(), steps.size());
        int line = 0, i = 0;
        for (Script::Cursor cursor; !script.atEnd(cursor); ++i) {
            EXPECT_EQ(tree(script.step(cursor, &line)).toStdString(), tree(expectedSteps[i]).toStdString());
            EXPECT_EQ(line, expectedSteps[i].lineNumber());
        }
    }
}

TEST_F(TapewrightFixture, ScriptsPastTheirBoundsAreRefusedWithTheBoundNamed)
{
    QStringList reports;
    setErrorSink([&reports](bool, const QString& message) { reports << message; });
    const auto steps = [](int parts) {
        // The step and its attribute are two parts.
        return "<Events>\n<Version id=\"3\"/>\n<Snapshot name=\"/t\">" + QByteArray("<c/>").repeated(parts - 2) + "</Snapshot>\n</Events>";
    };
    const QByteArray sleeps = "<Events>\n" + QByteArray("<Sleep msec=\"0\"/>\n").repeated(100000) + "</Events>";
    // An element with n attributes amid markup whose "=", quotes and ">" are no attributes.
    const auto attributes = [](int n) {
        QByteArray element = "<Snapshot";
        for (int i = 1; i < n; ++i)
            element += " a" + QByteArray::number(i) + (i % 2 ? "='x=\"y>'" : "=\"=='\"");
        return "<?xml version='1.0' encoding='utf-8'?><?pi x='?>\n<Events>\n<!-- a=b 'c --><Version id=\"3\"/>"
               "<![CDATA[ x=\"y\" ]]><?pi a=\"b\"?>\n"
               + element + "\n name = '/t'>&lt;</Snapshot>\n</Events>";
    };
    const auto list = [](const char* pattern, int n) {
        QString items;
        for (int i = 0; i < n; ++i)
            items += QString(pattern).arg(i);
        return items;
    };
    // Scripts whose bytes a scan reads otherwise than the reader decodes them: U+2200 is 00 22 in
    // UTF-16LE, a quote that hides the "=" after it; U+203C is 3C 20, a "<" before the "=" of a
    // text; UTF-7 spells "<" and "=" with letters.
    const auto utf16 = [](const QString& text) { return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2); };
    const QString bom(QChar::ByteOrderMark), notUtf8 = "File 'bounds.tws' is not encoded in UTF-8 (%1); it is not read",
                  doctype = "File 'bounds.tws' has a document type declaration on line %1, which a script may not have; it is not read";
    const struct
    {
        QByteArray text;
        qint64 memoryLimit;
        QString report;   // null: read
    } cases[] = {
        {steps(Script::maxStepParts), Script::maxHeldBytes, {}},
        {steps(Script::maxStepParts + 1), Script::maxHeldBytes,
         "File 'bounds.tws' has an element on line 3 that holds more than 250000 elements, attributes and texts; it is not read"},
        {attributes(Script::maxAttributes), Script::maxHeldBytes, {}},
        {attributes(Script::maxAttributes + 1), Script::maxHeldBytes,
         "File 'bounds.tws' has an element on line 4 with more than 64 attributes; it is not read"},
        {attributes(100000), Script::maxHeldBytes,
         "File 'bounds.tws' has an element on line 4 with more than 64 attributes; it is not read"},
        // The recorder writes UTF-8 and no document type: a script in any other encoding, or with
        // declarations that add attributes, is refused before its elements are read.
        {utf16(bom + "<Events><KeyPress text='\u2200' " + list("a%1='' ", 1000) + "/></Events>"), Script::maxHeldBytes,
         notUtf8.arg("it holds the byte 0xff on line 1")},
        {utf16("<Events>\n\u203c " + QString(70, '=') + "\n</Events>"), Script::maxHeldBytes, notUtf8.arg("it holds the byte 0x00 on line 1")},
        {"<?xml version='1.0' encoding='UTF-7'?><Events>+ADw-KeyPress " + list("a%1+AD0-'' ", 1000).toUtf8() + "/+AD4-</Events>",
         Script::maxHeldBytes, notUtf8.arg("it declares the encoding 'UTF-7'")},
        {"<?xml version='1.0' encoding='ISO-8859-1'?><Events><Information text='\xe4'/></Events>", Script::maxHeldBytes,
         notUtf8.arg("it declares the encoding 'ISO-8859-1'")},
        {"<?xml version='1.0'?>\n<!DOCTYPE Events [<!ATTLIST KeyPress " + list("d%1 CDATA 'x' ", 100000).toUtf8() + ">]><Events/>",
         Script::maxHeldBytes, doctype.arg(2)},
        {"<!DOCTYPE Events [<!ENTITY k \"<KeyPress " + list("a%1='' ", 100).toUtf8() + "/>\">]>\n<Events>&k;</Events>", Script::maxHeldBytes,
         doctype.arg(1)},
        // About the size of its text.
        {sleeps, qint64(sleeps.size()), {}},
        {sleeps, qint64(sleeps.size()) / 2,
         "File 'bounds.tws' needs more than the 0.9 MiB left of the 1024 MiB that the scripts played at once may hold; it is not read"},
    };
    for (const auto& c : cases) {
        reports.clear();
        Script script;
        EXPECT_EQ(script.read(c.text, "bounds.tws", c.memoryLimit), c.report.isNull());
        EXPECT_EQ(reports.join('\n').toStdString(), c.report.toStdString());
        EXPECT_LE(script.memoryBytes(), c.memoryLimit);
    }

    // The size of a file is looked at before it is read (this one has no data on the disk).
    TestSupport::ScratchDir dir;
    QFile big(dir.qpath() + "/big.tws");
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(Script::maxFileBytes + 1));
    big.close();
    reports.clear();
    Script script;
    EXPECT_FALSE(script.load(big.fileName()));
    EXPECT_EQ(reports.join('\n').toStdString(),
              ("File '" + big.fileName() + "' is larger than 256 MiB, the limit for a script; it is not read").toStdString());

    // So is an enciphered log's, before any of it is deciphered: only its last block is there.
    const QString log = dir.qpath() + "/big.log";
    QFile sparse(log);
    ASSERT_TRUE(sparse.open(QIODevice::WriteOnly) && sparse.resize(Script::maxFileBytes + 16));
    const Vexa::Rijndael cipher(128, Vexa::getLogFileKey());
    QByteArray padding(16, char(16));
    cipher.encryptBlock(padding.constData(), padding.data());
    ASSERT_TRUE(sparse.seek(Script::maxFileBytes + 16) && sparse.write(padding) == 16);
    sparse.close();
    reports.clear();
    Vexa::EncFile enciphered(log, cipher);
    PlayBack player;
    EXPECT_FALSE(player.start(&enciphered, QString()));
    EXPECT_EQ(reports.join('\n').toStdString(),
              ("File '" + log + "' is larger than 256 MiB, the limit for a script; it is not read").toStdString());
    setErrorSink({});
}

namespace {

// A file that hands out its bytes a few at a time, as a slow device does, after the first 16. (The
// XML reader tells the encoding from the first four, and takes a read that completes no
// character for the end of the text.)
class Trickle : public QBuffer
{
public:
    Trickle(QByteArray* data, qint64 chunk) : QBuffer(data), chunk_(chunk) { open(ReadOnly | Unbuffered); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        return QBuffer::readData(data, std::min(maxSize, pos() < 16 ? 16 - pos() : chunk_));
    }

private:
    qint64 chunk_;
};

}

TEST_F(TapewrightFixture, BytesThatAreNoUtf8AreRefusedNamingTheirLine)
{
    QStringList reports;
    setErrorSink([&reports](bool, const QString& message) { reports << message; });
    // Line 5 holds `bytes`; the text ends after them when `last`.
    const auto onLine5 = [](const QByteArray& bytes, bool last = false) {
        const QByteArray head = "<Events>\n<Version id=\"3\"/>\n<Sleep msec=\"0\"/>\n\n<Information text=\"a" + bytes;
        return last ? head : head + "\"/>\n</Events>\n";
    };
    const QByteArray line5002 =
        "<Events>\n<Version id=\"3\"/>\n" + QByteArray("<Sleep msec=\"0\"/>\n").repeated(4999) + "<Sleep msec=\"\xed\xa0\x80\"/>\n</Events>";
    const QString refused = "File 'bytes.tws' is not encoded in UTF-8 (%1); it is not read";
    const std::pair<QByteArray, QString> cases[] = {
        // Two, three and four bytes, the highest of three before the surrogates, the highest of all.
        {onLine5("\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80\xed\x9f\xbf\xf4\x8f\xbf\xbf"), {}},
        {onLine5("\xc3\x41"), refused.arg("it holds the bytes 0xc3 0x41 on line 5")},
        {line5002, refused.arg("it holds the bytes 0xed 0xa0 on line 5002")},   // a surrogate
        {onLine5("\x80"), refused.arg("it holds the byte 0x80 on line 5")},
        // Overlong forms of "/" and past U+10FFFF.
        {onLine5("\xc0\xaf"), refused.arg("it holds the byte 0xc0 on line 5")},
        {onLine5("\xe0\x80\xaf"), refused.arg("it holds the bytes 0xe0 0x80 on line 5")},
        {onLine5("\xf0\x80\x80\xaf"), refused.arg("it holds the bytes 0xf0 0x80 on line 5")},
        {onLine5("\xf4\x90\x80\x80"), refused.arg("it holds the bytes 0xf4 0x90 on line 5")},
        {onLine5("\xf5\x80\x80\x80"), refused.arg("it holds the byte 0xf5 on line 5")},
        // Cut short by the line's end, and by the text's.
        {onLine5("\xe2\x82\n"), refused.arg("it holds the bytes 0xe2 0x82 0x0a on line 5")},
        {onLine5("\xf0\x9f\x98", true), refused.arg("it ends inside a character, after the bytes 0xf0 0x9f 0x98 on line 5")},
    };
    // Whole, and in pieces that cut the sequences apart at every byte.
    for (const qint64 chunk : {qint64(1) << 20, qint64(4), qint64(5), qint64(7)}) {
        for (const auto& [text, report] : cases) {
            SCOPED_TRACE(chunk);
            reports.clear();
            QByteArray bytes = text;
            Trickle device(&bytes, chunk);
            Script script;
            EXPECT_EQ(script.read(&device, "bytes.tws"), report.isNull());
            EXPECT_EQ(reports.join('\n').toStdString(), report.toStdString());
        }
    }
    setErrorSink({});
}

TEST_F(TapewrightFixture, WhatTheRecorderWritesIsReadBack)
{
    QStringList reports;
    setErrorSink([&reports](bool, const QString& message) { reports << message; });
    // Elements at and past the bounds, as a recorder holds them before it adds "name" and "sleep":
    // what fits() lets through reads back, what it keeps out would not.
    QDomDocument document;
    const auto withAttributes = [&document](int n) {
        QDomElement element = document.createElement("Snapshot");
        for (int i = 0; i < n; ++i)
            element.setAttribute(QString("a%1").arg(i), "v");
        return element;
    };
    const auto nested = [&document](int levels) {
        QDomElement top = document.createElement("Snapshot");
        for (QDomElement at = top; --levels > 0;)
            at = at.appendChild(document.createElement("Child")).toElement();
        return top;
    };
    const struct
    {
        QDomElement element;
        bool fits;
    } cases[] = {
        {withAttributes(Script::maxAttributes - 2), true},
        {withAttributes(Script::maxAttributes - 1), false},
        {nested(ScriptReader::maxNesting - 1), true},
        {nested(ScriptReader::maxNesting), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Script::fits(c.element, 2), c.fits);
        QDomElement step = c.element.cloneNode().toElement();
        step.setAttribute("name", "/t");
        ScriptElements::setSleep(step, 0);
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        ScriptWriter writer(&buffer);
        writer.begin();
        writer.write(step);
        writer.end();
        Script script;
        EXPECT_EQ(script.read(buffer.data(), "fits.tws"), c.fits) << reports.join('\n').toStdString();
    }

    // A script that would grow past the size a player reads ends whole before that element.
    reports.clear();
    const QByteArray line = ScriptWriter::elementLine(withAttributes(3)).toUtf8();
    for (const qint64 maxBytes : {qint64(100), qint64(9 + 9 + 3 * line.size()), qint64(9 + 9 + 3 * line.size() - 1)}) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        ScriptWriter writer(&buffer, maxBytes);
        EXPECT_TRUE(writer.begin());
        int written = 0;
        while (writer.write(withAttributes(3)))
            ++written;
        EXPECT_EQ(written, (maxBytes - 18) / line.size()) << maxBytes;
        EXPECT_TRUE(writer.failed());
        EXPECT_EQ(writer.failure().toStdString(), QString("it has reached %1 MiB, the limit for a script; it ends before this point")
                                                      .arg(double(maxBytes) / (1024 * 1024), 0, 'f', 2).toStdString());
        EXPECT_TRUE(writer.end());
        EXPECT_LE(buffer.size(), maxBytes);
        EXPECT_TRUE(buffer.data().endsWith("</Events>"));
        Script script;
        EXPECT_TRUE(script.read(buffer.data(), "full.tws"));
        EXPECT_EQ(script.stepCount(), written);
    }
    EXPECT_TRUE(reports.isEmpty()) << reports.join('\n').toStdString();
    setErrorSink({});
}

// A device that hands out its bytes off the main thread only once the main thread's event loop
// has run: a large script that were read in the main thread would never get past its first read.
class GatedScript : public QBuffer
{
public:
    using QBuffer::QBuffer;
    std::promise<void> loopRan;
    std::atomic<bool> readAside{false}, waitedInVain{false};

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (QThread::currentThread() != thread() && !readAside.exchange(true)
            && loopRan.get_future().wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
            waitedInVain = true;
            return -1;
        }
        return QBuffer::readData(data, maxSize);
    }
};

TEST_F(TapewrightFixture, ALargeScriptIsReadWhileTheWindowsGoOnPainting)
{
    const int sleeps = 300000; // some 5.7 MB, past the size that is read aside
    QByteArray text = "<Events>\n" + QByteArray("<Sleep msec=\"0\"/>\n").repeated(sleeps) + "</Events>";
    GatedScript device(&text);
    ASSERT_TRUE(device.open(QIODevice::ReadOnly));
    QTimer::singleShot(0, [&device] { device.loopRan.set_value(); });
    Script script;
    EXPECT_TRUE(script.read(&device, "large.tws"));
    EXPECT_TRUE(device.readAside);
    EXPECT_FALSE(device.waitedInVain);
    EXPECT_EQ(script.stepCount(), sleeps);
}

// A device that runs out of memory once `failAt` bytes are read.
class ThrowingScript : public QBuffer
{
public:
    ThrowingScript(QByteArray* data, qint64 failAt) : QBuffer(data), failAt_(failAt) { open(ReadOnly | Unbuffered); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (pos() >= failAt_)
            throw std::bad_alloc();
        return QBuffer::readData(data, std::min(maxSize, failAt_ - pos()));
    }

private:
    qint64 failAt_;
};

TEST_F(TapewrightFixture, AScriptWhoseDeviceFailsHalfwayIsReportedAndNoneOfItIsRead)
{
    QStringList reports;
    setErrorSink([&reports](bool, const QString& message) { reports << message; });
    const auto sleeps = [](int count) { return "<Events>\n" + QByteArray("<Sleep msec=\"0\"/>\n").repeated(count) + "</Events>"; };
    // An enciphered log whose file is cut while it is read.
    TestSupport::ScratchDir dir;
    Vexa::EncFile log(dir.qpath() + "/cut.log", Vexa::Rijndael(128, Vexa::getLogFileKey()));
    ASSERT_TRUE(log.open(QIODevice::WriteOnly) && log.write(sleeps(10000)) > 0);
    log.close();
    ASSERT_TRUE(log.open(QIODevice::ReadOnly) && QFile::resize(log.fileName(), 64 * 1024 + 16));
    // A small script, and one large enough to be read in a thread of its own.
    QByteArray small = sleeps(1000), large = sleeps(300000);
    ThrowingScript smallScript(&small, small.size() / 2), largeScript(&large, large.size() / 2);
    const std::pair<QIODevice*, QString> cases[] = {
        {&log, "EncFile: the file became shorter while it was read"},
        {&smallScript, "there is not enough memory"},
        {&largeScript, "there is not enough memory"},
    };
    for (const auto& [device, reason] : cases) {
        reports.clear();
        Script script;
        EXPECT_FALSE(script.read(device, "failing.tws"));
        EXPECT_EQ(script.stepCount(), 0);
        EXPECT_EQ(reports.join('\n').toStdString(),
                  ("File 'failing.tws' could not be read to its end: " + reason + "; none of it is read").toStdString());
    }
    setErrorSink({});
}

TEST_F(TapewrightFixture, ScriptsAreWrittenLineByLineAndReadBackEqual)
{
    QDomDocument document;
    QWidget widget;
    widget.resize(120, 80);
    const QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 6), QPointF(5, 6), Qt::RightButton, Qt::RightButton,
                            Qt::ControlModifier);
    const QKeyEvent key(QEvent::KeyPress, Qt::Key_Eacute, Qt::ShiftModifier, QStringLiteral("É"), true, 2);
    const QKeyEvent noSequence(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier);
    const QKeyEvent backspace(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier, QStringLiteral("\b"));
    const QContextMenuEvent other(QContextMenuEvent::Other, QPoint(1, 2), QPoint(1, 2));
    const QFocusEvent focus(QEvent::FocusOut, Qt::BacktabFocusReason);
    QList<QDomElement> elements {ScriptElements::version(document),
                                 ScriptElements::fromEvent(document, &widget, &press),
                                 ScriptElements::fromEvent(document, &widget, &key),
                                 ScriptElements::fromEvent(document, &widget, &noSequence),
                                 ScriptElements::fromEvent(document, &widget, &other),
                                 ScriptElements::fromEvent(document, &widget, &focus),
                                 ScriptElements::information(document, QStringLiteral("Grüße\n\"zwei\" <Zeilen>")),
                                 ScriptElements::include(document, QDir::currentPath() + "/sub/x.tws"),
                                 ScriptElements::include(document, "/elsewhere/y.tws"),
                                 ScriptElements::fromEvent(document, &widget, &backspace)};
    for (QDomElement& e : elements) {
        e.setAttribute("name", "/twdemo/ä");
        ScriptElements::setSleep(e, 0);
    }
    EXPECT_EQ(described(elements[1]),
              Element("MousePress", {{"x", "5"}, {"y", "6"}, {"widgetWidth", "120"}, {"widgetHeight", "80"},
                                     {"button", "Right"}, {"state", "Control"}, {"name", "/twdemo/ä"}, {"sleep", "0"}}));
    EXPECT_EQ(described(elements[2]).second,
              Attributes({{"key", "É"}, {"state", "Shift"}, {"text", "É"}, {"repeat", "true"}, {"count", "2"},
                          {"name", "/twdemo/ä"}, {"sleep", "0"}}));
    EXPECT_EQ(described(elements[3]).second.count("intkey"), 1u);
    EXPECT_EQ(described(elements[3]).second.count("key"), 0u);
    EXPECT_EQ(described(elements[4]).second.count("reason"), 0u);
    EXPECT_EQ(elements[5].attribute("reason"), "Backtab");
    EXPECT_EQ(elements[7].attribute("file"), "sub/x.tws");
    EXPECT_EQ(elements[8].attribute("file"), "/elsewhere/y.tws");
    EXPECT_EQ(elements[9].attribute("ascii"), "8");
    EXPECT_FALSE(elements[9].hasAttribute("text")) << "no control character reaches the file";

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    ScriptWriter writer(&buffer);
    writer.begin();
    for (const QDomElement& e : elements)
        writer.write(e);
    writer.end();
    const QByteArray bytes = buffer.data();
    const QList<QByteArray> lines = bytes.split('\n');
    ASSERT_EQ(lines.size(), elements.size() + 2);
    EXPECT_EQ(lines.first(), "<Events>");
    EXPECT_EQ(lines.last(), "</Events>");
    EXPECT_TRUE(lines[1].startsWith("    <Version ") && lines[1].endsWith("/>"));
    EXPECT_TRUE(bytes.contains("Grüße")) << "UTF-8";

    QDomDocument read;
    ASSERT_TRUE(ScriptReader::parse(bytes, "script.tws", read));
    const QList<QDomElement> steps = ScriptReader::steps(read);
    ASSERT_EQ(steps.size(), elements.size());
    for (int i = 0; i < steps.size(); ++i)
        EXPECT_EQ(described(steps[i]), described(elements[i])) << i;
    const ScriptReader::KeyAttributes keys = ScriptReader::keyAttributes(steps[2]);
    EXPECT_EQ(keys.key, Qt::Key_Eacute);
    EXPECT_TRUE(keys.repeat);
    EXPECT_EQ(ScriptReader::focusType(steps[5]), QEvent::FocusOut);
}

TEST_F(TapewrightFixture, ReadersAcceptAnyCaseDefaultsAndCutOffScripts)
{
    QDomDocument document;
    ASSERT_TRUE(ScriptReader::parse("<eVENTS>text<!-- c --><MOUSEPRESS/><KEYPRESS key=\"Ctrl+S\" intkey=\"65\"/>"
                                    "<FocusEvent type=\"Sideways\"/></eVENTS>", "s", document));
    const QList<QDomElement> steps = ScriptReader::steps(document);
    ASSERT_EQ(steps.size(), 3);
    EXPECT_EQ(ScriptReader::tag(steps[0]), "mousepress");
    const ScriptReader::MouseAttributes mouse = ScriptReader::mouseAttributes(steps[0]);
    EXPECT_EQ(mouse.pos, QPoint(0, 0));
    EXPECT_EQ(mouse.widgetSize, QSize(-1, -1));
    EXPECT_EQ(ScriptReader::keyAttributes(steps[1]).key, int(Qt::ControlModifier) + Qt::Key_S) << "key beats intkey";
    EXPECT_EQ(ScriptReader::keyAttributes(steps[1]).count, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ScriptReader::focusType(steps[2]), QEvent::None);
    EXPECT_EQ(ScriptReader::focusReason(steps[2]), 6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown Focus Type: sideways\n");
    EXPECT_EQ(ScriptReader::intAttribute(steps[0], "x", 7), 7);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(ScriptReader::parse("<Script/>", "wrong.tws", document));
    EXPECT_FALSE(ScriptReader::parse("<Events><a></Events>", "broken.tws", document));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Top element of file 'wrong.tws' was not 'Events'. Element was 'Script'\n"
              "Error reading file 'broken.tws' on line 1. Error was: 'Opening and ending tag mismatch.'\n");
    for (const char* cut : {"<Events>\n    <Version id=\"3\"/>\n", "<Events>\n    <Version id=\"3\"/>\n    <Mouse"}) {
        testing::internal::CaptureStderr();
        ASSERT_TRUE(ScriptReader::parse(cut, "cut.tws", document));
        EXPECT_EQ(ScriptReader::steps(document).size(), 1);
        const std::string warnings = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(warnings.begin(), warnings.end(), '\n'), 1) << "one warning";
    }

    // Nesting is bounded before any document is built, also in a cut-off script.
    const auto nested = [](int levels, bool closed) {
        return "<Events>\n" + QByteArray("<a>").repeated(levels - 1) + (closed ? QByteArray("</a>").repeated(levels - 1) + "</Events>" : "\n");
    };
    for (const auto& [text, read] : {std::pair {nested(ScriptReader::maxNesting, true), true},
                                     std::pair {nested(ScriptReader::maxNesting + 1, true), false},
                                     std::pair {nested(ScriptReader::maxNesting + 1, false), false}}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(ScriptReader::parse(text, "nested.tws", document), read) << text.size();
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  read ? "" : "File 'nested.tws' nests its elements deeper than 128 levels; it is not read\n");
    }
}

TEST_F(TapewrightFixture, CompressedTimeLeavesSleepOut)
{
    QDomDocument document;
    TapewrightSettings::instance().setCompressTime(true);
    QDomElement element = ScriptElements::sleep(document, 500);
    ScriptElements::setSleep(element, 20);
    EXPECT_FALSE(element.hasAttribute("sleep"));
    EXPECT_EQ(element.attribute("msec"), "500");
}

namespace {

// A device whose writes wait until it is released, as a file server that stopped answering holds
// them; what it took is read under its lock.
class HeldDevice : public QIODevice
{
public:
    void release()
    {
        std::lock_guard lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    // Whether a write has come in (it is held there while the device is).
    bool waitUntilWritten()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return entered_; });
    }
    bool waitUntilTaken(int lines)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return taken_.count('\n') >= lines; });
    }
    QByteArray taken()
    {
        std::lock_guard lock(mutex_);
        return taken_;
    }
    bool isSequential() const override { return true; }
    bool open(OpenMode mode) override
    {
        openedOnMain = QThread::currentThread() == qApp->thread();
        return QIODevice::open(mode);
    }
    std::atomic<bool> openedOnMain {true};

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
        taken_.append(data, size);
        changed_.notify_all();
        return size;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = true;
    bool entered_ = false;
    QByteArray taken_;
};

// A file on a disk that has room for `room` more bytes.
class FillingFile : public QFile
{
public:
    FillingFile(const QString& name, qint64 room) : QFile(name), room_(room) {}
    // What is cut off is room again.
    bool resize(qint64 size) override
    {
        room_ += QFile::size() - size;
        return QFile::resize(size);
    }

protected:
    qint64 writeData(const char* data, qint64 size) override
    {
        const qint64 taken = std::min(size, room_);
        if (taken > 0 && QFile::writeData(data, taken) != taken)
            return -1;
        room_ -= taken;
        if (taken == size)
            return size;
        setErrorString(QStringLiteral("No space left on device"));
        return taken > 0 ? taken : -1;
    }

private:
    qint64 room_;
};

class RecordingDevice : public TapewrightFixture
{
protected:
    void SetUp() override
    {
        TapewrightFixture::SetUp();
        setErrorSink([this](bool, const QString& message) { reports << message; });
    }
    void TearDown() override { setErrorSink({}); }
    // Records `count` "Information" elements; their texts.
    QStringList record(Recorder& recorder, int count)
    {
        QStringList texts;
        for (int i = 0; i < count; ++i) {
            texts << QString("element %1 ").arg(i) + QString(i % 40, QChar('a' + i % 26));
            QDomElement element = document.createElement("Information");
            element.setAttribute("text", texts.back());
            recorder.addElement(element, 0);
        }
        return texts;
    }
    // The "Information" texts of a script that reads whole.
    static QStringList read(const QByteArray& bytes)
    {
        QDomDocument script;
        QStringList texts;
        EXPECT_TRUE(ScriptReader::parse(bytes, "script", script)) << bytes.right(200).toStdString();
        for (const QDomElement& step : ScriptReader::steps(script))
            if (step.tagName() == "Information")
                texts << step.attribute("text");
        return texts;
    }
    QDomDocument document;
    QStringList reports;
};

}

TEST_F(RecordingDevice, AHeldDeviceNeverHoldsTheRecordingAndTakesEveryElementInOrderOnceReleased)
{
    HeldDevice device;
    Recorder recorder;
    ASSERT_TRUE(recorder.start(&device));
    const QStringList texts = record(recorder, 200);
    // Every element was handed over while the device held the first write it got.
    ASSERT_TRUE(device.waitUntilWritten());
    EXPECT_TRUE(device.taken().isEmpty());
    EXPECT_FALSE(device.openedOnMain) << "nor is it opened there";
    device.release();
    ASSERT_TRUE(device.waitUntilTaken(texts.size() + 2)) << "<Events>, the version and each element";
    recorder.stop();
    EXPECT_FALSE(recorder.writerOut());
    EXPECT_TRUE(device.taken().endsWith("</Events>"));
    EXPECT_EQ(read(device.taken()), texts);
    EXPECT_TRUE(reports.isEmpty()) << reports.join('\n').toStdString();
}

TEST_F(RecordingDevice, AHeldDeviceLetsTheRecordingEndWithinItsBoundAndIsLeftToTheProcesssEnd)
{
    const int outBefore = Vexa::DetachableCall::out();
    HeldDevice device; // outlives the writer left out
    {
        Recorder recorder;
        ASSERT_TRUE(recorder.start(&device));
        const QStringList texts = record(recorder, 3);
        ASSERT_TRUE(device.waitUntilWritten());
        QElapsedTimer ending;
        ending.start();
        recorder.stop();
        EXPECT_LT(ending.elapsed(), 8000) << "the end waits some 4 s";
        EXPECT_TRUE(recorder.writerOut());
        ASSERT_EQ(reports.size(), 1);
        EXPECT_EQ(reports[0].toStdString(), "Could not write file : it did not answer within 4 seconds; it ends where it stands");
    }
    EXPECT_EQ(Vexa::DetachableCall::out(), outBefore + 1) << "the writer is counted as out";
    // Once the device answers, the writer writes what it was handed, ends and is no more out.
    device.release();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Vexa::DetachableCall::out() == outBefore; }, 30000));
    EXPECT_TRUE(device.taken().endsWith("</Events>"));
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(read(device.taken()).size(), 3);
}

TEST_F(RecordingDevice, ADeviceThatFillsIsCutBackToWholeElementsAndToldAtOnce)
{
    TestSupport::ScratchDir dir;
    FillingFile file(dir.qpath() + "/script.tws", 3000);
    Recorder recorder;
    ASSERT_TRUE(recorder.start(&file));
    const QStringList texts = record(recorder, 200);
    // Told by the writer's thread without a further element.
    ASSERT_TRUE(QTest::qWaitFor([this] { return !reports.isEmpty(); }, 30000));
    recorder.stop();
    ASSERT_EQ(reports.size(), 1) << reports.join('\n').toStdString();
    EXPECT_TRUE(reports[0].startsWith("Could not write file " + file.fileName() + ": No space left on device"))
        << reports[0].toStdString();
    QFile written(file.fileName());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray bytes = written.readAll();
    EXPECT_LE(bytes.size(), 3000);
    const QStringList read = RecordingDevice::read(bytes);
    EXPECT_GT(read.size(), 10);
    EXPECT_LT(read.size(), texts.size());
    EXPECT_EQ(read, texts.mid(0, read.size())) << "whole elements, in order";
}
