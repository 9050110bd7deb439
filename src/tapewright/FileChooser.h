#pragma once
// A file name field with a label and a "..." button that asks for a file with Qt's own dialog:
// an existing file in open mode, any name in save mode.
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

class FileChooser : public QWidget
{
    Q_OBJECT
public:
    FileChooser(const QString& label, bool openExisting, QWidget* parent, const char* name);

    QString fileName() const;
    void setFileName(const QString& name);
    void setOpenExisting(bool on) { openExisting_ = on; }
    bool openExisting() const { return openExisting_; }

public slots:
    void chooseFile();

private:
    QLineEdit* edit_;
    bool openExisting_;
};
