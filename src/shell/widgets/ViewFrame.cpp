#include "shell/widgets/ViewFrame.h"

#include "shell/main/Application.h"
#include "shell/modes/ViewFactory.h"
#include "shell/widgets/Appearance.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IObserver.h"
#include "views/ISpaceballSupport.h"
#include "views/IStepperable.h"
#include "views/IView.h"
#include "views/IZoomAndScrollable.h"
#include "views/OpenGL2DView.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpacerItem>
#include <cmath>

ViewFrame::ScrollView::ScrollView(QWidget* parent) : QScrollArea(parent)
{
    setObjectName("FrameScrollView");
    setFrameShape(QFrame::NoFrame);
    setAlignment(Qt::AlignCenter);
    Appearance::blackBackground(this);
    Appearance::blackBackground(viewport());
}

void ViewFrame::ScrollView::centreOn(QPoint contentsPoint)
{
    horizontalScrollBar()->setValue(contentsPoint.x() - viewport()->width() / 2);
    verticalScrollBar()->setValue(contentsPoint.y() - viewport()->height() / 2);
}

void ViewFrame::ScrollView::resizeEvent(QResizeEvent* event)
{
    QScrollArea::resizeEvent(event);
    centreIfGrown();
}

bool ViewFrame::ScrollView::eventFilter(QObject* watched, QEvent* event)
{
    const bool handled = QScrollArea::eventFilter(watched, event);
    if (watched == widget() && event->type() == QEvent::Resize) {
        if (pendingCentre) {
            centreOn(*pendingCentre);
            pendingCentre.reset();
        }
        centreIfGrown();
    }
    return handled;
}

void ViewFrame::ScrollView::centreIfGrown()
{
    if (!centringWanted || !widget())
        return;
    const QSize contents = widget()->size(), visible = viewport()->size();
    const QPoint middle(contents.width() / 2, contents.height() / 2);
    if (!centredHorizontally && contents.width() > visible.width()) {
        centreOn(middle);
        centredHorizontally = true;
    }
    if (contents.width() < visible.width())
        centredHorizontally = false;
    if (!centredVertically && contents.height() > visible.height()) {
        centreOn(middle);
        centredVertically = true;
    }
    if (contents.height() < visible.height())
        centredVertically = false;
}

void ViewFrame::DescriptionWidget::init(QWidget* v)
{
    view = v;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // The caption right under the view: the size hint below (which the panoramic view's fit
    // reads) is then the laid-out size.
    layout->setSpacing(0);
    if (!view)
        return;
    layout->addWidget(view);
    if (auto* zoomable = dynamic_cast<Quorvane::IZoomAndScrollable*>(view)) {
        // A 2D view has its own size (it changes with the data and the zoom): the widget
        // follows it and the scroll area scrolls what exceeds the frame. Other views fill it.
        layout->setSizeConstraint(QLayout::SetFixedSize);
        caption = new QLabel(view->objectName() + ViewFrame::tr(" View"), this);
        caption->setObjectName("Caption");
        QPalette palette = caption->palette();
        palette.setColor(QPalette::WindowText, zoomable->getColorID());
        caption->setPalette(palette);
        Appearance::blackBackground(caption);
        caption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        caption->setFont(QFont("Arial", 12, QFont::Bold));
        caption->setIndent(3);
        layout->addWidget(caption);
    }
}

QSize ViewFrame::DescriptionWidget::sizeHint() const
{
    if (view && caption && dynamic_cast<Quorvane::IZoomAndScrollable*>(view)) {
        const QSize v = view->sizeHint(), c = caption->sizeHint();
        return QSize(std::max(v.width(), c.width()), v.height() + c.height());
    }
    return QWidget::sizeHint();
}

ViewFrame::ViewFrame(const QString& viewName, std::shared_ptr<ViewFactory> factory, QWidget* parent,
                     const char* name)
    : QFrame(parent), factory_(std::move(factory))
{
    setObjectName(name);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    Appearance::blackBackground(this);
    frameLayout_ = new QHBoxLayout(this);
    frameLayout_->setContentsMargins(0, 0, 0, 0);
    buildView(viewName);
    buildButtons();
}

ViewFrame::~ViewFrame() = default;

void ViewFrame::selectNewView()
{
    emit selectNewView(this);
}

void ViewFrame::setView(const QString& name)
try {
    cleanUp();
    buildView(name);
    buildButtons();
    scrollView_->show();
    if (auto* view = dynamic_cast<Quorvane::IView*>(view_); view && !view->isEmpty())
        view_->show();
    if (buttonPanel_)
        buttonPanel_->show();
    // Laid out now, the view is told again: it fits the room it has been given.
    frameLayout_->activate();
    if (auto* observer = dynamic_cast<Vexa::IObserver*>(view_))
        observer->update();
}
VEXA_RETHROW

void ViewFrame::buildView(const QString& name)
try {
    scrollView_ = new ScrollView(this);
    auto* description = new DescriptionWidget(scrollView_->viewport());
    Appearance::blackBackground(description);
    Quorvane::IView* view = factory_->getView(name, description);
    view_ = dynamic_cast<QWidget*>(view);
    description->init(view_);
    scrollView_->setWidget(description);
    scrollView_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    if (auto* observer = dynamic_cast<Vexa::IObserver*>(view))
        observer->update();
    if (auto* zoomable = dynamic_cast<Quorvane::IZoomAndScrollable*>(view))
        scrollView_->centringWanted = zoomable->isScrollCentered();
    else
        scrollView_->setWidgetResizable(true);
    auto* spaceball = dynamic_cast<Quorvane::ISpaceballSupport*>(view);
    if (auto* app = qobject_cast<Quorvane::Application*>(QCoreApplication::instance()); spaceball && app) {
        // The view widget is the context: the connections end with the view.
        connect(app, &Quorvane::Application::spaceballMotion, view_,
                [spaceball](const Vexa::Vector3D& t, const Vexa::Vector3D& r) {
                    spaceball->processSpaceballMotion(t, r);
                });
        connect(app, &Quorvane::Application::spaceballZero, view_, [spaceball] { spaceball->processSpaceballZero(); });
    }
    frameLayout_->addWidget(scrollView_, 1);
}
VEXA_RETHROW

QPushButton* ViewFrame::createButton(const QString& image, QWidget* parent)
{
    auto* button = new QPushButton(parent);
    button->setObjectName(QString(image).remove(".bmp") + "Button");
    button->setIcon(QIcon(Appearance::picture(image)));
    button->setIconSize(QSize(32, 32));
    button->setFixedSize(40, 40);
    return button;
}

void ViewFrame::buildButtons()
try {
    const bool selection = factory_->isViewSelectionEnabled();
    if (view_ && view_->objectName() == "3D") {
        // The 3D view fills the pane; only the selection button floats in its top right corner.
        overlayLayout_ = new QGridLayout(scrollView_);
        overlayLayout_->setContentsMargins(0, 0, 0, 0);
        overlayLayout_->addItem(new QSpacerItem(1, 1, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, 0, 2, 1);
        overlayLayout_->addItem(new QSpacerItem(1, 1, QSizePolicy::Minimum, QSizePolicy::Expanding), 1, 0, 1, 2);
        if (selection) {
            QPushButton* select = createButton("SelectView.bmp", scrollView_);
            overlayLayout_->addWidget(select, 0, 1);
            connect(select, &QPushButton::clicked, this, qOverload<>(&ViewFrame::selectNewView));
        }
        return;
    }
    buttonPanel_ = new QFrame(this);
    buttonPanel_->setObjectName("ButtonPanel");
    buttonPanel_->setFrameShape(QFrame::StyledPanel);
    buttonPanel_->setFrameShadow(QFrame::Sunken);
    frameLayout_->addWidget(buttonPanel_, 0);
    buttonLayout_ = new QVBoxLayout(buttonPanel_);
    buttonLayout_->setContentsMargins(0, 0, 0, 0);
    if (selection) {
        QPushButton* select = createButton("SelectView.bmp", buttonPanel_);
        buttonLayout_->addWidget(select);
        connect(select, &QPushButton::clicked, this, qOverload<>(&ViewFrame::selectNewView));
    }
    if (auto* zoomable = dynamic_cast<Quorvane::IZoomAndScrollable*>(view_)) {
        QPushButton* in = createButton("ZoomIn.bmp", buttonPanel_);
        QPushButton* out = createButton("ZoomOut.bmp", buttonPanel_);
        QPushButton* filter = createButton("FilterOnOff.bmp", buttonPanel_);
        filter->setCheckable(true);
        for (QPushButton* b : {in, out, filter})
            buttonLayout_->addWidget(b);
        connect(in, &QPushButton::clicked, this, &ViewFrame::zoomIn);
        connect(out, &QPushButton::clicked, this, &ViewFrame::zoomOut);
        filter->setChecked(zoomable->isFiltering());
        connect(filter, &QPushButton::toggled, view_, [zoomable](bool on) { zoomable->toggleFiltering(on); });
        // The view's filtering changes without the button too (a new planning resets it).
        if (auto* view2d = qobject_cast<OpenGL2DView*>(view_))
            connect(view2d, &OpenGL2DView::filteringChanged, filter, [filter](bool on) {
                const QSignalBlocker quiet(filter);
                filter->setChecked(on);
            });
    }
    if (auto* stepper = dynamic_cast<Quorvane::IStepperable*>(view_)) {
        QPushButton* up = createButton("Up.bmp", buttonPanel_);
        QPushButton* down = createButton("Down.bmp", buttonPanel_);
        for (QPushButton* b : {up, down}) {
            b->setAutoRepeat(true);
            buttonLayout_->addWidget(b);
        }
        connect(up, &QPushButton::clicked, view_, [stepper] { stepper->stepUp(); });
        connect(down, &QPushButton::clicked, view_, [stepper] { stepper->stepDown(); });
    }
    buttonLayout_->addItem(new QSpacerItem(1, 1, QSizePolicy::Minimum, QSizePolicy::Expanding));
}
VEXA_RETHROW

void ViewFrame::zoom(bool in)
try {
    auto* zoomable = dynamic_cast<Quorvane::IZoomAndScrollable*>(view_);
    if (!zoomable)
        return;
    QWidget* viewport = scrollView_->viewport();
    const QPoint p(scrollView_->horizontalScrollBar()->value() + viewport->width() / 2,
                   scrollView_->verticalScrollBar()->value() + viewport->height() / 2);
    const bool hide = view_->width() > viewport->width() || view_->height() > viewport->height();
    if (hide)
        viewport->hide();
    if (in) {
        const int w = int(view_->width() * 1.3), h = int(view_->height() * 1.3);
        const QScreen* screen = QGuiApplication::primaryScreen();
        const qint64 screenPixels = screen ? qint64(screen->size().width()) * screen->size().height() : 0;
        if (w < 4096 && h < 4096 && qint64(w) * h < screenPixels)
            zoomKeeping(QPoint(int(std::lround(p.x() * 1.3)), int(std::lround(p.y() * 1.3))),
                        [zoomable] { zoomable->zoomIn(); });
    } else {
        zoomKeeping(QPoint(int(std::lround(p.x() / 1.3)), int(std::lround(p.y() / 1.3))),
                    [zoomable] { zoomable->zoomOut(); });
    }
    if (hide)
        viewport->show();
}
VEXA_RETHROW

void ViewFrame::zoomKeeping(QPoint centre, const std::function<void()>& zoom)
{
    // The view takes its new size later, through the layout (or at once, during the zoom): the
    // point is centred when the resize arrives.
    const QSize before = view_->sizeHint();
    scrollView_->pendingCentre = centre;
    zoom();
    // A zoom the view refused (at its own limit) changes nothing, the scroll position included.
    if (view_->sizeHint() == before)
        scrollView_->pendingCentre.reset();
}

void ViewFrame::cleanUp()
try {
    // The view detaches itself from the Model when it is deleted, so a replaced view is never
    // notified again.
    if (scrollView_) {
        frameLayout_->removeWidget(scrollView_);
        delete scrollView_;
        scrollView_ = nullptr;
    }
    if (buttonPanel_) {
        frameLayout_->removeWidget(buttonPanel_);
        delete buttonPanel_;
    }
    view_ = nullptr;
    buttonPanel_ = nullptr;
    buttonLayout_ = nullptr;
    overlayLayout_ = nullptr;
}
VEXA_RETHROW
