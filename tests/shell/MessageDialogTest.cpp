#include "shell/dialogs/JawSelectionDialog.h"
#include "shell/dialogs/LoadDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/dialogs/ViewSelectionDialog.h"
#include "shell/widgets/WrappingLabel.h"

#include "ShellTestSupport.h"

#include <QGuiApplication>
#include <QMap>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <gtest/gtest.h>

using ShellTest::answer;

TEST(MessageDialog, ButtonsOrderFocusAndResultPerPress)
{
    const struct
    {
        int buttons;
        QStringList captions;
    } rows[] = {
        {0, {}},
        {1, {"Cancel"}},
        {12, {"Yes", "Ok"}},
        {15, {"Yes", "No", "Ok", "Cancel"}},
        {31, {"Yes", "No", "Ok", "Cancel"}},
    };
    // Result and exec per button; Escape counts as Cancel, also without a Cancel button.
    const QMap<QString, std::pair<int, int>> outcome{{"Yes", {4, 1}}, {"No", {2, 1}}, {"Ok", {8, 1}}, {"Cancel", {1, 0}}};
    for (const auto& row : rows)
        for (int pressed = -1; pressed < int(row.captions.size()); ++pressed)
        {
            MessageDialog box(nullptr, "Caption", "A line of text", row.buttons, QString());
            const auto a = answer(box, pressed);
            EXPECT_EQ(a.captions, row.captions) << row.buttons;
            EXPECT_EQ(a.focus, row.captions.isEmpty() ? QString() : row.captions.back()) << row.buttons;
            const auto expected = outcome[pressed < 0 ? "Cancel" : row.captions[pressed]];
            EXPECT_EQ(std::make_pair(box.getResult(), a.exec), expected) << row.buttons << " press " << pressed;
            // The smallest box, wider only where four buttons need the room.
            EXPECT_EQ(box.size(), QSize(row.captions.size() == 4 ? 4 * 120 + 3 * 5 + 2 * 15 : 504, 170));
        }
}

TEST(MessageDialog, LongTextsWrapAndTheBoxGrowsThenScrolls)
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QString path = "/home/user/Morvanta/patients/2026-12-07__10-41-43-512/2026-12-07__10-41-43-512.srl";
    const struct
    {
        QString text;
        bool grows, scrolls;
    } rows[] = {
        {"Error initializing navigation camera.", false, false},
        {"Please insert cd with patient data and press \"patient\" again.", true, false},
        {"The planning file " + path + " misses the key \"transform0\" in [Implant].", true, false},
        {QString(path + "\n").repeated(120), true, true},
    };
    for (const auto& row : rows)
    {
        MessageDialog box(nullptr, "Loading error", row.text, MessageDialog::Ok);
        box.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
        auto* label = box.findChild<WrappingLabel*>();
        auto* scroll = box.findChild<QScrollArea*>();
        ASSERT_TRUE(label && scroll);
        EXPECT_EQ(label->text(), row.text) << "the text as given";
        EXPECT_EQ(box.width() > 504 || box.height() > 170, row.grows) << box.width() << "x" << box.height();
        EXPECT_LE(box.width(), std::max(504, screen.width() * 4 / 5));
        EXPECT_LE(box.height(), std::max(170, screen.height() * 4 / 5));
        EXPECT_EQ(scroll->verticalScrollBar()->isVisible(), row.scrolls);
        // Every line of the text lies inside the label, the label inside what the box shows
        // (when it scrolls: inside the scrolled area, along its width).
        const QRect text = label->textRect();
        EXPECT_TRUE(label->rect().contains(text)) << row.text.left(40).toStdString();
        EXPECT_GE(label->height(), label->heightForWidth(label->width()));
        const QRect shown(label->mapTo(&box, text.topLeft()), text.size());
        if (row.scrolls)
            EXPECT_LE(shown.right(), scroll->viewport()->mapTo(&box, QPoint(scroll->viewport()->width() - 1, 0)).x());
        else
            EXPECT_TRUE(QRect(scroll->mapTo(&box, QPoint()), scroll->size()).contains(shown));
        EXPECT_TRUE(box.rect().contains(ShellTest::buttonsInOrder(box).front()->geometry()));
    }
}

TEST(MessageDialog, NullYesCaptionIsYesAndEmptyStaysEmpty)
{
    for (const QString& given : {QString(), QString(""), QString("Load it")})
        EXPECT_EQ(ShellTest::buttonsInOrder(MessageDialog(nullptr, "c", "t", 4 | 2, given))[0]->text(),
                  given.isNull() ? "Yes" : given);
}

TEST(SmallDialogs, LoadJawAndViewSelectionAnswers)
{
    for (const auto& [press, exec, result] : {std::tuple{-1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 1, 1}})
    {
        LoadDialog dialog(nullptr);
        const auto a = answer(dialog, press);
        EXPECT_EQ(a.focus, "Cancel");
        EXPECT_EQ(std::make_pair(a.exec, dialog.getResult()), std::make_pair(exec, result)) << press;
    }

    // Escape picks no jaw: the dialog stays until a button is pressed (on press, not release).
    for (int jaw : {0, 1})
    {
        JawSelectionDialog dialog(nullptr);
        bool openAfterEscape = false;
        const int exec = ShellTest::runModal(dialog, [&] {
            QTest::keyClick(&dialog, Qt::Key_Escape);
            dialog.close();
            openAfterEscape = dialog.isVisible();
            QTest::mousePress(ShellTest::buttonsInOrder(dialog)[std::size_t(jaw)], Qt::LeftButton);
        });
        EXPECT_TRUE(openAfterEscape);
        EXPECT_EQ(std::make_pair(exec, dialog.getResult()), std::make_pair(1, jaw));
    }

    // The choice is made by position: a view named "Cancel" is still a view.
    const QStringList views{"Ortho", "Cancel", "3D"};
    for (const auto& [list, press, exec, chosen] : {std::tuple{QStringList(), 0, 0, QString()},
                                                     {views, 1, 1, QString("Cancel")},
                                                     {views, 2, 1, QString("3D")},
                                                     {views, 3, 0, QString()}})
    {
        ViewSelectionDialog dialog(list, nullptr);
        const auto a = answer(dialog, press);
        EXPECT_EQ(a.captions, QStringList(list) << "Cancel");
        EXPECT_EQ(std::make_pair(a.exec, dialog.getChosenView()), std::make_pair(exec, chosen)) << press;
    }
}
