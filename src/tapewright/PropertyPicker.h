#pragma once
// Lets the tester click on any widget of the application, choose one of its properties (Qt
// properties class by class, and the property extensions' pseudo-properties) from a popup menu,
// collect and order the choices, and confirm. The recorder turns the rows into "PrintProperty"
// elements. While it runs, installed by the caller as the application's event filter, it takes
// every mouse and key event outside its own window.
#include <QDialog>
#include <QDomElement>

class QCheckBox;
class QEventLoop;
class QLineEdit;
class QMouseEvent;
class QPushButton;
class QTextEdit;
class QTreeWidget;

class PropertyPicker : public QDialog
{
    Q_OBJECT
public:
    PropertyPicker();

    // Shows the picker with an empty list and waits until it is hidden; modal dialogs let the
    // tester through meanwhile. QDialog::Accepted after "OK".
    int exec() override;
    // The name of the separate file when "Write properties to separate file" is on, else null.
    QString fileName() const;
    // One "PrintProperty" element per row, in row order.
    void writePrintProperty(QDomElement parent);

    bool eventFilter(QObject* object, QEvent* event) override;
    void setVisible(bool visible) override;

public slots:
    void editFileName();
    void delItem();
    void moveUp();
    void moveDown();
    void slotCurrentChanged();

private:
    void pick(QWidget* receiver, const QPoint& pos);
    void moveCurrent(int by);

    QTreeWidget* _listView;
    QLineEdit* _fileName;
    QCheckBox* _writeToFile;
    QPushButton* _down;
    QPushButton* _up;
    QPushButton* _delete;
    QTextEdit* _description;
    QEventLoop* loop_ = nullptr;
};
