#pragma once
// Window flags given as the classic style bits (customize 0x10, normal border 0x20, dialog border
// 0x40, title 0x80, system menu 0x100, minimise 0x200, maximise 0x400, stays on top 0x1000,
// no border 0x2000) turned into Qt's window hints for a dialog.
#include <Qt>

class WindowFlags
{
public:
    enum Style : int
    {
        Customize = 0x10,
        NormalBorder = 0x20,
        DialogBorder = 0x40,
        Title = 0x80,
        SysMenu = 0x100,
        Minimize = 0x200,
        Maximize = 0x400,
        StaysOnTop = 0x1000,
        NoBorder = 0x2000
    };

    // Title bar and border without any buttons (176).
    static constexpr int titled = Customize | NormalBorder | Title;
    // The same with a dialog border (208).
    static constexpr int titledDialog = Customize | DialogBorder | Title;
    // No frame, no title, always on top (12304).
    static constexpr int frameless = Customize | StaysOnTop | NoBorder;

    static Qt::WindowFlags dialog(int styles);
};
