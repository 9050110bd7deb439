#pragma once
// A full page of short white text on red, centred, one or more lines ("Navigation
// camera\nis not responding!"). `setMessage` only stores the text; `refresh` shows it while the
// page is visible and navigation is on. The page starts without text.
#include "views/navigation/CanvasView.h"

#include <memory>

class CanvasText;
class NavigationController;

class MessageView : public CanvasView
{
public:
    MessageView(std::shared_ptr<NavigationController> controller, QWidget* parent);
    ~MessageView() override;

    void setMessage(const QString& message);
    QString message() const { return message_; }
    // The text shown now.
    QString shownText() const;
    // Shows the stored message.
    void applyMessage();
    void refresh();
    // Lays the text out for a page of w x h (the widget's own geometry is the stack's).
    void layoutItems(int w, int h) override;

private:
    std::shared_ptr<NavigationController> controller_;
    CanvasText* text_;
    QString message_;
};
