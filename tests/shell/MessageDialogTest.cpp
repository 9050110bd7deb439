#include "shell/dialogs/JawSelectionDialog.h"
#include "shell/dialogs/LoadDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/dialogs/ViewSelectionDialog.h"

#include "ShellTestSupport.h"

#include <QTest>
#include <gtest/gtest.h>

using ShellTest::buttonsInOrder;
using ShellTest::captions;
using ShellTest::runModal;

namespace {

struct Press
{
    int result;
    int exec;
};

Press pressOf(const QString& caption)
{
    if (caption == "Yes")
        return {4, 1};
    if (caption == "No")
        return {2, 1};
    if (caption == "Ok")
        return {8, 1};
    return {1, 0};
}

}

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
    for (const auto& row : rows)
    {
        // Index -1 closes the box with Escape instead of a button.
        for (int pressed = -1; pressed < int(row.captions.size()); ++pressed)
        {
            MessageDialog box(nullptr, "Caption", "A line of text", row.buttons, QString());
            QStringList shown;
            QString focus;
            const int exec = runModal(box, [&] {
                const auto buttons = buttonsInOrder(box);
                shown = captions(buttons);
                focus = box.focusWidget() ? static_cast<QPushButton*>(box.focusWidget())->text() : QString();
                if (pressed < 0)
                    QTest::keyClick(&box, Qt::Key_Escape);
                else
                    QTest::mouseClick(buttons[std::size_t(pressed)], Qt::LeftButton);
            });
            EXPECT_EQ(shown, row.captions) << row.buttons;
            EXPECT_EQ(focus, row.captions.isEmpty() ? QString() : row.captions.back()) << row.buttons;
            const Press expected = pressed < 0 ? Press{1, 0} : pressOf(row.captions[pressed]);
            EXPECT_EQ(box.getResult(), expected.result) << row.buttons << " press " << pressed;
            EXPECT_EQ(exec, expected.exec) << row.buttons << " press " << pressed;
            EXPECT_EQ(box.size(), QSize(504, 170));
        }
    }
}

TEST(MessageDialog, NullYesCaptionIsYesAndEmptyStaysEmpty)
{
    for (const QString& given : {QString(), QString(""), QString("Load it")})
        EXPECT_EQ(buttonsInOrder(MessageDialog(nullptr, "c", "t", 4 | 2, given))[0]->text(),
                  given.isNull() ? "Yes" : given);
}

TEST(SmallDialogs, LoadDialogAndJawSelectionAnswers)
{
    const struct
    {
        int press; // -1 Escape
        int exec;
        int result;
    } loads[] = {{-1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 1, 1}};
    for (const auto& row : loads)
    {
        LoadDialog dialog(nullptr);
        QString focus;
        const int exec = runModal(dialog, [&] {
            focus = static_cast<QPushButton*>(dialog.focusWidget())->text();
            if (row.press < 0)
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else
                QTest::mouseClick(buttonsInOrder(dialog)[std::size_t(row.press)], Qt::LeftButton);
        });
        EXPECT_EQ(focus, "Cancel");
        EXPECT_EQ(exec, row.exec) << row.press;
        EXPECT_EQ(dialog.getResult(), row.result) << row.press;
    }

    // Escape picks no jaw: the dialog stays until a button is pressed (on press, not release).
    for (int jaw : {0, 1})
    {
        JawSelectionDialog dialog(nullptr);
        bool openAfterEscape = false;
        const int exec = runModal(dialog, [&] {
            QTest::keyClick(&dialog, Qt::Key_Escape);
            dialog.close();
            openAfterEscape = dialog.isVisible();
            const auto buttons = buttonsInOrder(dialog);
            EXPECT_EQ(captions(buttons), QStringList({"Upper Jaw", "Lower Jaw"}));
            QTest::mousePress(buttons[std::size_t(jaw)], Qt::LeftButton);
        });
        EXPECT_TRUE(openAfterEscape);
        EXPECT_EQ(exec, 1);
        EXPECT_EQ(dialog.getResult(), jaw);
        EXPECT_TRUE(dialog.windowFlags() & Qt::FramelessWindowHint);
    }
}

TEST(SmallDialogs, ViewSelectionDecidesByPosition)
{
    const struct
    {
        QStringList views;
        int press;
        int exec;
        QString chosen;
    } rows[] = {
        {{}, 0, 0, ""},
        {{"Ortho", "Cancel", "3D"}, 1, 1, "Cancel"},
        {{"Ortho", "Cancel", "3D"}, 2, 1, "3D"},
        {{"Ortho", "Cancel", "3D"}, 3, 0, ""},
    };
    for (const auto& row : rows)
    {
        ViewSelectionDialog dialog(row.views, nullptr);
        QStringList shown;
        const int exec = runModal(dialog, [&] {
            const auto buttons = buttonsInOrder(dialog);
            shown = captions(buttons);
            QTest::mouseClick(buttons[std::size_t(row.press)], Qt::LeftButton);
        });
        EXPECT_EQ(shown, QStringList(row.views) << "Cancel");
        EXPECT_EQ(exec, row.exec) << row.press;
        EXPECT_EQ(dialog.getChosenView(), row.chosen);
    }
}
