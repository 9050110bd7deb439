#include "vexa/io/EncFile.h"
#include "vexa/io/LogFileKey.h"

#include "common/TestSupport.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>
#include <memory>
#include <gtest/gtest.h>

namespace {

Vexa::Rijndael logCipher()
{
    return Vexa::Rijndael(128, Vexa::getLogFileKey());
}

QByteArray payload(int n)
{
    QByteArray bytes(n, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        bytes[i] = static_cast<char>((i * 131 + 7) & 0xff);
    return bytes;
}

QByteArray pkcs7(const QByteArray& data)
{
    const int padding = 16 - data.size() % 16;
    return data + QByteArray(padding, static_cast<char>(padding));
}

void writeEncrypted(const QString& name, const QByteArray& data, const Vexa::Rijndael& cipher)
{
    Vexa::EncFile file(name, cipher);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << file.errorString().toStdString();
    // Written in uneven pieces so that blocks are completed across calls.
    for (int at = 0; at < data.size(); at += 7)
        ASSERT_EQ(file.write(data.mid(at, 7)), std::min<qint64>(7, data.size() - at));
    EXPECT_EQ(file.size(), data.size());
    file.close();
}

// The plain text of an AES-128-ECB file as openssl deciphers it, padding kept.
QByteArray opensslDecrypt(const QString& name)
{
    QProcess openssl;
    openssl.start("openssl", {"enc", "-d", "-aes-128-ecb", "-nopad", "-K",
                              QString::fromLatin1(QByteArray(Vexa::getLogFileKey().data(), 16).toHex()), "-in", name});
    EXPECT_TRUE(openssl.waitForFinished(30000));
    EXPECT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
    return openssl.readAllStandardOutput();
}

TEST(EncFile, RoundTripsPayloadsAroundTheBlockSizeInWholeBlocksThatOpensslReads)
{
    TestSupport::ScratchDir dir;
    // The largest is read in several deciphered chunks.
    for (int n : {0, 15, 16, 17, 1000, 150001}) {
        SCOPED_TRACE(n);
        const QString name = dir.qpath() + QString("/p%1.log").arg(n);
        const QByteArray data = payload(n);
        writeEncrypted(name, data, logCipher());

        EXPECT_EQ(QFileInfo(name).size(), (n / 16 + 1) * 16);
        EXPECT_EQ(opensslDecrypt(name), pkcs7(data));

        Vexa::EncFile file(name, logCipher());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.errorString().toStdString();
        EXPECT_EQ(file.size(), n);
        EXPECT_EQ(file.readAll(), data);
        EXPECT_TRUE(file.atEnd());
        if (n > 10) {
            ASSERT_TRUE(file.seek(3));
            EXPECT_EQ(file.read(5), data.mid(3, 5));
            EXPECT_EQ(file.bytesAvailable(), n - 8);
            // Across the end of a chunk and back before it.
            for (qint64 at : {qint64(n) - 9, 65530LL, 131070LL, 1LL}) {
                if (at + 9 <= n) {
                    ASSERT_TRUE(file.seek(at));
                    EXPECT_EQ(file.read(9), data.mid(at, 9)) << at;
                }
            }
        }
        EXPECT_FALSE(file.seek(n + 1));
        file.close();
        EXPECT_FALSE(file.isOpen());
    }
}

TEST(EncFile, KeepsEveryCompletedBlockOnDiskBeforeClose)
{
    TestSupport::ScratchDir dir;
    const QString name = dir.qpath() + "/unfinished.log";
    const QByteArray data = payload(53);
    auto file = std::make_unique<Vexa::EncFile>(name, logCipher());
    ASSERT_TRUE(file->open(QIODevice::WriteOnly));
    ASSERT_EQ(file->write(data), data.size());

    // As after a crash: the three whole blocks are there and readable, only the last 5 bytes wait.
    EXPECT_EQ(QFileInfo(name).size(), 48);
    EXPECT_EQ(opensslDecrypt(name), data.left(48));
    // Unpadded, it is not a complete file.
    Vexa::EncFile reader(name, logCipher());
    EXPECT_FALSE(reader.open(QIODevice::ReadOnly));

    // Destroying the file finishes it like close().
    file.reset();
    EXPECT_EQ(opensslDecrypt(name), pkcs7(data));
    ASSERT_TRUE(reader.open(QIODevice::ReadOnly));
    EXPECT_EQ(reader.readAll(), data);
}

TEST(EncFile, CarriesTextWrittenThroughAFlushedTextStream)
{
    // As the recording writes its XML: element by element, flushing after each.
    TestSupport::ScratchDir dir;
    const QString name = dir.qpath() + "/recording.log";
    QString written = "<Events>\n";
    {
        Vexa::EncFile file(name, logCipher());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        QTextStream out(&file);
        for (int i = 0; i < 40; ++i)
            written += QString::fromUtf8("    <Event id=\"%1\" widget=\"Implantat \u00d8 4.10\"/>\n").arg(i);
        written += "</Events>\n";
        for (const QString& line : written.split('\n', Qt::SkipEmptyParts)) {
            out << line << '\n';
            out.flush();
        }
    }
    Vexa::EncFile file(name, logCipher());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readLine(), QByteArray("<Events>\n"));
    ASSERT_TRUE(file.seek(0));
    QDomDocument doc;
    ASSERT_TRUE(doc.setContent(&file));
    EXPECT_EQ(doc.documentElement().elementsByTagName("Event").size(), 40);
    ASSERT_TRUE(file.seek(0));
    EXPECT_EQ(QString::fromUtf8(file.readAll()), written);
}

TEST(EncFile, RefusesDamagedFilesAndTheWrongKey)
{
    TestSupport::ScratchDir dir;
    const QString name = dir.qpath() + "/good.log";
    const QByteArray data = payload(100);
    writeEncrypted(name, data, logCipher());
    QFile raw(name);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray cipherText = raw.readAll();
    raw.close();

    auto refuses = [&](const QString& file, const Vexa::Rijndael& cipher) {
        Vexa::EncFile f(file, cipher);
        const bool opened = f.open(QIODevice::ReadOnly);
        EXPECT_FALSE(f.isOpen());
        EXPECT_FALSE(f.errorString().isEmpty());
        return !opened;
    };
    auto store = [&](const QString& file, const QByteArray& bytes) {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
    };

    std::vector<char> otherKey = Vexa::getLogFileKey();
    otherKey[0] = static_cast<char>(otherKey[0] ^ 1);
    EXPECT_TRUE(refuses(name, Vexa::Rijndael(128, otherKey)));

    // Cut short, empty, a damaged last block.
    QByteArray damaged = cipherText;
    damaged[damaged.size() - 2] = static_cast<char>(damaged[damaged.size() - 2] ^ 0x40);
    for (const QByteArray& bytes : {cipherText.left(cipherText.size() - 3), QByteArray(), damaged}) {
        store(dir.qpath() + "/bad.log", bytes);
        EXPECT_TRUE(refuses(dir.qpath() + "/bad.log", logCipher())) << bytes.size();
    }
    EXPECT_TRUE(refuses(dir.qpath() + "/missing.log", logCipher()));

    // The good file still opens, and modes the file cannot honour are refused.
    Vexa::EncFile file(name, logCipher());
    EXPECT_FALSE(file.open(QIODevice::ReadWrite));
    EXPECT_FALSE(file.open(QIODevice::WriteOnly | QIODevice::Append));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), data);
    EXPECT_EQ(file.write("x"), -1);
}

TEST(EncFile, UsesTheCipherBlockLength)
{
    TestSupport::ScratchDir dir;
    const QString name = dir.qpath() + "/wide.log";
    const Vexa::Rijndael cipher(256, std::vector<char>(24, 'z'));
    writeEncrypted(name, payload(70), cipher);
    EXPECT_EQ(QFileInfo(name).size(), 96);
    Vexa::EncFile file(name, cipher);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), payload(70));
}

}
