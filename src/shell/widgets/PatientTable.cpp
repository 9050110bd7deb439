#include "shell/widgets/PatientTable.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>

PatientTable::PatientTable(QWidget* dialog, const QStringList& titles, const std::vector<int>& widths)
    : QTreeWidget(dialog)
{
    setObjectName("m_PatientTable");
    setGeometry(10, 10, 880, 360);
    setRootIsDecorated(false);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setHeaderLabels(titles);
    int used = 0;
    for (std::size_t c = 0; c < widths.size(); ++c)
    {
        setColumnWidth(int(c), widths[c]);
        used += widths[c];
    }
    setColumnWidth(int(widths.size()), width() - 4 - used);
    setColumnHidden(int(widths.size()) + 1, true);
    header()->setSectionResizeMode(QHeaderView::Fixed);
    header()->setSectionsClickable(false);
    header()->setStretchLastSection(false);
}

std::pair<QPushButton*, QPushButton*> PatientTable::addButtons(QWidget* dialog, const QString& first,
                                                               const char* firstName, const QString& second)
{
    auto* area = new QWidget(dialog);
    area->setObjectName("Layout1");
    area->setGeometry(670, 380, 220, 50);
    auto* row = new QHBoxLayout(area);
    row->setObjectName("Layout1");
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    auto* a = new QPushButton(first, area);
    a->setObjectName(firstName);
    a->setEnabled(false);
    auto* b = new QPushButton(second, area);
    b->setObjectName("m_buttonCancel");
    b->setDefault(true);
    row->addWidget(a);
    row->addWidget(b);
    return {a, b};
}
