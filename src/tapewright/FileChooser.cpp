#include "tapewright/FileChooser.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

FileChooser::FileChooser(const QString& label, bool openExisting, QWidget* parent, const char* name)
    : QWidget(parent), edit_(new QLineEdit(this)), openExisting_(openExisting)
{
    setObjectName(QString::fromLatin1(name));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(new QLabel(label, this));
    edit_->setObjectName(QStringLiteral("edit"));
    layout->addWidget(edit_);
    auto* button = new QPushButton(QStringLiteral("..."), this);
    button->setFixedWidth(30);
    layout->addWidget(button);
    connect(button, &QPushButton::clicked, this, &FileChooser::chooseFile);
}

QString FileChooser::fileName() const { return edit_->text(); }

void FileChooser::setFileName(const QString& name) { edit_->setText(name); }

void FileChooser::chooseFile()
{
    const QFileDialog::Options options = QFileDialog::DontUseNativeDialog;
    const QString name = openExisting_
        ? QFileDialog::getOpenFileName(nullptr, QString(), edit_->text(), QString(), nullptr, options)
        : QFileDialog::getSaveFileName(nullptr, QString(), edit_->text(), QString(), nullptr, options);
    if (!name.isEmpty())
        edit_->setText(name);
}
