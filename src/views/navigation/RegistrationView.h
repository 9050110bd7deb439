#pragma once
// The drill registration's progress: "Registering Drill" over a red disc on which a green sector
// grows clockwise from twelve o'clock, one step per sample; the full green disc means every
// sample of the registration is in. `refresh` follows the registration while the page is
// visible and navigation is on.
#include "views/navigation/CanvasView.h"

#include <memory>

class CanvasEllipse;
class CanvasText;
class NavigationController;

class RegistrationView : public CanvasView
{
public:
    RegistrationView(std::shared_ptr<NavigationController> controller, QWidget* parent);
    ~RegistrationView() override;

    // The sector's span (1/16 degree, negative = clockwise) for n samples, n clamped to the
    // registration's count.
    static int spanFor(unsigned samples);
    void refresh();
    // Sets the sector from the registration's count.
    void applyProgress();
    void layoutItems(int w, int h) override;
    const CanvasEllipse* sector() const { return sector_; }

private:
    std::shared_ptr<NavigationController> controller_;
    CanvasText* heading_;
    CanvasEllipse* base_;
    CanvasEllipse* sector_;
};
