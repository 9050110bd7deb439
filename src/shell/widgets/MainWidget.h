#pragma once
// The working area: five view frames in nested splitters and the planning panel at the right.
// It offers the view selection of a frame, relays undo and redo, and runs the flow that settles
// the registration markers and then generates the 3D model.
#include <QFrame>
#include <memory>

class ControlView;
class Model;
class QSplitter;
class ViewFactory;
class ViewFrame;

class MainWidget : public QFrame
{
    Q_OBJECT

public:
    MainWidget(std::shared_ptr<Model> model, std::shared_ptr<ViewFactory> factory, QWidget* parent, const char* name);
    ~MainWidget() override;

    ViewFrame* frame(const QString& name) const;
    // The view names a frame may be offered now, in the factory's key order.
    QStringList offeredViews() const;

public slots:
    void undo();
    void redo();
    void generate3DModel();
    void chooseNewView(ViewFrame* frame);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    bool ask(const QString& text) const;
    void setSplitterSizes();

    std::shared_ptr<Model> model_;
    std::shared_ptr<ViewFactory> factory_;
    QSplitter* mainSplitter_;
    QSplitter* verticalSplitter_;
    QSplitter* upperSplitter_;
    QSplitter* lowerSplitter_;
    ViewFrame* frames_[5];
    ControlView* controlView_;
    bool sized_ = false;
};
