#pragma once
// The demo's main window "twdemo": every widget visible at once, named, in one focus chain, a
// "File" menu with "save" (Ctrl+S) and "quit" (Ctrl+Q), and a button opening the modal "dialog".
#include <QJsonObject>
#include <QMainWindow>
#include <QStringList>

class QAction;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QDial;
class QDialog;
class QLineEdit;
class QListWidget;
class QPushButton;
class QScrollBar;
class QSlider;
class QSpinBox;
class QTabWidget;
class QTableWidget;
class QTimeEdit;
class QTreeWidget;

class DemoWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit DemoWindow(QWidget* parent = nullptr);

    // The names of the demo's own widgets, in focus order.
    static QStringList widgetNames();

    // {name: {"path": widget path, "rect": [x, y, w, h] in global coordinates}} of the window
    // and its named widgets.
    QJsonObject widgetRects();
    // The state a replay must reproduce, keyed by object name.
    QJsonObject state() const;

    QDialog* dialog() const { return dialog_; }

public slots:
    void openDialog();

private:
    void buildMenu();
    QWidget* buildCentral();
    void buildDialog();

    QLineEdit* edit_;
    QCheckBox* check_;
    QComboBox* combo_;
    QSpinBox* spin_;
    QDateEdit* date_;
    QTimeEdit* time_;
    QSlider* slider_;
    QDial* dial_;
    QScrollBar* scroll_;
    QTabWidget* tabs_;
    QTreeWidget* tree_;
    QListWidget* list_;
    QTableWidget* table_;
    QPushButton* openDialog_;
    QDialog* dialog_ = nullptr;
    QLineEdit* dialogEdit_ = nullptr;
    QAction* save_ = nullptr;
    QAction* mark_ = nullptr;
    int saves_ = 0;
    int marks_ = 0;
    int accepts_ = 0;
    int rejects_ = 0;
    QString lastText_;
};
