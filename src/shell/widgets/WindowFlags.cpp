#include "shell/widgets/WindowFlags.h"

#include <utility>

Qt::WindowFlags WindowFlags::dialog(int styles)
{
    // The border styles have no hint of their own: a dialog has a border unless NoBorder.
    static constexpr std::pair<int, Qt::WindowType> hints[] = {
        {Customize, Qt::CustomizeWindowHint},       {Title, Qt::WindowTitleHint},
        {SysMenu, Qt::WindowSystemMenuHint},        {Minimize, Qt::WindowMinimizeButtonHint},
        {Maximize, Qt::WindowMaximizeButtonHint},   {StaysOnTop, Qt::WindowStaysOnTopHint},
        {NoBorder, Qt::FramelessWindowHint},
    };
    Qt::WindowFlags flags = Qt::Dialog;
    for (const auto& [style, hint] : hints)
        if (styles & style)
            flags |= hint;
    return flags;
}
