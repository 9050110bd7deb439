#pragma once
// One pane of the main widget: a view cloned from the factory inside a scroll area, its caption
// under 2D views, and the buttons its interfaces call for (select view, zoom in and out, filter,
// up and down). `setView` replaces the whole pane.
#include <functional>
#include <optional>
#include <QFrame>
#include <QScrollArea>
#include <memory>

class QGridLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;
class ViewFactory;

class ViewFrame : public QFrame
{
    Q_OBJECT

public:
    // Keeps the view centred once each time it grows past the visible area.
    class ScrollView : public QScrollArea
    {
    public:
        explicit ScrollView(QWidget* parent);
        bool centringWanted = false;
        bool centredHorizontally = false;
        bool centredVertically = false;
        void centreOn(QPoint contentsPoint);
        // Where a zoom wants the middle of the visible area once the view has its new size.
        std::optional<QPoint> pendingCentre;

    protected:
        void resizeEvent(QResizeEvent* event) override;
        // The view's own resizes (a zoom, new data) arrive here, after the scroll bars know them.
        bool eventFilter(QObject* watched, QEvent* event) override;
        void centreIfGrown();
    };

    // The view with its caption below.
    class DescriptionWidget : public QWidget
    {
    public:
        explicit DescriptionWidget(QWidget* parent) : QWidget(parent) {}
        void init(QWidget* view);
        QSize sizeHint() const override;
        QWidget* view = nullptr;
        QLabel* caption = nullptr;
    };

    ViewFrame(const QString& viewName, std::shared_ptr<ViewFactory> factory, QWidget* parent, const char* name);
    ~ViewFrame() override;

    void setView(const QString& name);
    QWidget* getView() const { return view_; }
    ScrollView* scrollView() const { return scrollView_; }

signals:
    void selectNewView(ViewFrame* frame);

private slots:
    void selectNewView();
    void zoomKeeping(QPoint centre, const std::function<void()>& zoom);
    void zoomIn() { zoom(true); }
    void zoomOut() { zoom(false); }

private:
    void buildView(const QString& name);
    void buildButtons();
    void cleanUp();
    void zoom(bool in);
    QPushButton* createButton(const QString& image, QWidget* parent);

    std::shared_ptr<ViewFactory> factory_;
    QWidget* view_ = nullptr;
    ScrollView* scrollView_ = nullptr;
    QHBoxLayout* frameLayout_ = nullptr;
    QFrame* buttonPanel_ = nullptr;
    QVBoxLayout* buttonLayout_ = nullptr;
    QGridLayout* overlayLayout_ = nullptr;
};
