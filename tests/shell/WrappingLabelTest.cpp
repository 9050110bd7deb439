// The label of the message boxes, laid out as the box of earlier sessions shows it on the
// workstation's screens, whatever the length of the folder the paths lie in.
#include "shell/widgets/Fonts.h"
#include "shell/widgets/WrappingLabel.h"

#include <QApplication>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyle>
#include <gtest/gtest.h>

namespace {

// What must stay on one line of a text's paths: each name (with the "/" after it, as a box
// measures it), and of a name wider than a line each of its words between hyphens.
QStringList namesOf(const QString& text, const QFontMetrics& metrics, int width)
{
    QStringList names;
    for (const QString& word : text.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts)) {
        const QStringList parts = word.split('/');
        for (qsizetype i = 0; word.contains('/') && i < parts.size(); ++i) {
            if (parts[i].isEmpty())
                continue;
            if (metrics.horizontalAdvance(parts[i] + (i + 1 < parts.size() ? "/" : "")) <= width)
                names << parts[i];
            else
                names << parts[i].split('-', Qt::SkipEmptyParts);
        }
    }
    return names;
}

}

// A path breaks only between names, never inside one, and a hidden name keeps its leading dot:
// the names of every length of the folder the temporary files lie in (1 to 40 letters more), at
// the width the box gives its text on each screen (four fifths of it, less the box's margins
// and a scroll bar).
TEST(WrappingLabel, PathsBreakBetweenNamesAtEveryLengthOfTheirFolder)
{
    WrappingLabel label{QString()};
    label.setFont(Fonts::dialogFont());
    const int scrollBar = QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    for (const int screen : {1920, 1024}) {
        const int width = screen * 4 / 5 - 2 * 15 - scrollBar;
        QStringList broken;
        for (int letters = 1; letters <= 40; ++letters) {
            const QString patients = "/tmp/" + QString(letters, 'x') + "/app_tests-aGQzCe/patients";
            label.setText("An unfinished save of the computer station-2, begun 2031-02-03 06:00, holds 1.5 MB in the "
                          "hidden folder " + patients + "/.2031-02-03__09-00-00-7.saving0. That computer removes it "
                          "at its next start; nothing of it was removed here.\n\nThe planning in " + patients +
                          "/2031-02-03__09-10-54-770 replaced the planning in " + patients + "/2031-02-03__09-09-54-"
                          "497, but taking its files over is not finished.\n\nThe program could not read " + patients +
                          "/archive-of-the-old-practice-closed-cases-from-2015-to-2019/referrals-from-the-maxillofacial-"
                          "department-of-the-university-hospital-with-letters-and-x-rays-sent-before-the-move-to-the-"
                          "new-building (Input/output error).");
            QStringList lines;
            for (const WrappingLabel::Line& line : label.lines(width))
                lines << QString(line.text).remove(QChar(0x2060)).remove(QChar(0x200B));
            ASSERT_GT(lines.size(), 5) << "the paths wrap";
            for (const QString& name : namesOf(label.text(), label.fontMetrics(), width)) {
                qsizetype whole = 0;
                for (const QString& line : lines)
                    whole += line.count(name);
                if (whole != label.text().count(name))
                    broken << QString("%1 letters: %2").arg(letters).arg(name);
            }
        }
        EXPECT_TRUE(broken.isEmpty()) << width << " pixels wide (" << screen << " screen): names broken at\n"
                                      << broken.join('\n').toStdString();
    }
}
