#pragma once
// The list of the browsing dialogs (saved plannings, DICOM studies): at (10, 10), 880 x 360, single
// selection, columns of fixed width the user can neither resize nor sort by; the last column is a
// hidden sort key and the one before it takes the rest of the width. Rows are ListViewItems.
// Also the dialogs' button row "Layout1" at (670, 380).
#include <QTreeWidget>
#include <utility>
#include <vector>

class QPushButton;

class PatientTable : public QTreeWidget
{
public:
    // `widths` for every column but the last two.
    PatientTable(QWidget* dialog, const QStringList& titles, const std::vector<int>& widths);

    // Two buttons side by side: the first disabled until a row is chosen, the second the default.
    static std::pair<QPushButton*, QPushButton*> addButtons(QWidget* dialog, const QString& first,
                                                            const char* firstName, const QString& second);
};
