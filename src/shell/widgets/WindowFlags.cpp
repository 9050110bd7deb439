#include "shell/widgets/WindowFlags.h"

Qt::WindowFlags WindowFlags::dialog(int styles)
{
    Qt::WindowFlags flags = Qt::Dialog;
    if (styles & Customize)
        flags |= Qt::CustomizeWindowHint;
    if (styles & Title)
        flags |= Qt::WindowTitleHint;
    if (styles & SysMenu)
        flags |= Qt::WindowSystemMenuHint;
    if (styles & Minimize)
        flags |= Qt::WindowMinimizeButtonHint;
    if (styles & Maximize)
        flags |= Qt::WindowMaximizeButtonHint;
    if (styles & StaysOnTop)
        flags |= Qt::WindowStaysOnTopHint;
    if (styles & NoBorder)
        flags |= Qt::FramelessWindowHint;
    return flags;
}
