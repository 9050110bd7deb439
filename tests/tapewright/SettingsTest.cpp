#include "TapewrightTestSupport.h"

#include "tapewright/TapewrightSettings.h"

#include <QKeyEvent>
#include <QKeySequence>

TEST(TapewrightSettings, FreshDefaults)
{
    const auto& s = TapewrightSettings::instance();
    EXPECT_EQ(s.missingWidget(), 1);
    EXPECT_EQ(s.recorderView(), 2);
    EXPECT_TRUE(s.showConfigDialog());
    EXPECT_TRUE(s.displayMouseMovement());
    EXPECT_FALSE(s.compressTime());
    for (int action = 0; action < TapewrightSettings::actionCount; ++action)
        EXPECT_EQ(s.keyBinding(action), 0);
    EXPECT_EQ(TapewrightSettings::actionName(8), "Run External Command");
    EXPECT_TRUE(TapewrightSettings::actionWhatsThis(3).endsWith("include this file"));
}

TEST(TapewrightSettings, BindingsMatchPressesWithShiftControlAltButNotMeta)
{
    auto& s = TapewrightSettings::instance();
    const int meta = 1, ctrlF3 = 2, metaA = 3;
    s.setKeyBinding(meta, QKeySequence(Qt::Key_Meta));
    s.setKeyBinding(ctrlF3, QKeySequence(Qt::CTRL | Qt::Key_F3));
    s.setKeyBinding(metaA, QKeySequence(Qt::META | Qt::Key_A));
    EXPECT_EQ(s.keyBinding(ctrlF3), int(Qt::ControlModifier) + Qt::Key_F3);
    struct Case { int action; QEvent::Type type; int key; Qt::KeyboardModifiers modifiers; bool matches; };
    const Case cases[] = {
        {meta, QEvent::KeyPress, Qt::Key_Meta, Qt::MetaModifier, true},
        {meta, QEvent::KeyPress, Qt::Key_Meta, Qt::MetaModifier | Qt::ShiftModifier, false},
        {meta, QEvent::KeyRelease, Qt::Key_Meta, Qt::NoModifier, false},
        {ctrlF3, QEvent::KeyPress, Qt::Key_F3, Qt::ControlModifier, true},
        {ctrlF3, QEvent::KeyRelease, Qt::Key_F3, Qt::ControlModifier, false},
        {ctrlF3, QEvent::KeyPress, Qt::Key_F3, Qt::NoModifier, false},
        {metaA, QEvent::KeyPress, Qt::Key_A, Qt::MetaModifier, false},
    };
    for (const Case& c : cases) {
        const QKeyEvent event(c.type, c.key, c.modifiers);
        EXPECT_EQ(s.isKeyBinding(c.action, &event), c.matches) << c.action << " key " << c.key;
    }
    for (int action : {meta, ctrlF3, metaA})
        s.setKeyBinding(action, QKeySequence());
}

TEST(TapewrightSettings, KeyNamesCoverExactlyTheNamedCodes)
{
    int named = 0;
    for (int key = 0; key < 0x200; ++key)
        named += !keyName(key).isNull();
    for (int key = Qt::Key_Escape; key <= Qt::Key_Escape + 0x100; ++key)
        named += !keyName(key).isNull();
    EXPECT_EQ(named, 229);
    const std::pair<int, const char*> samples[] = {
        {'A', "A"}, {' ', "Space"}, {'`', "QuoteLeft"}, {0xA0, "nobreakspace"}, {0xE9, "eacute"},
        {0xFF, "ydiaeresis"}, {Qt::Key_Backspace, "Backspace"}, {Qt::Key_PageUp, "Prior"},
        {Qt::Key_PageDown, "Next"}, {Qt::Key_F35, "F35"}, {Qt::Key_Help, "Help"}};
    for (const auto& [key, name] : samples)
        EXPECT_EQ(keyName(key), QLatin1String(name));
    for (int key : {int('a'), int(Qt::Key_Meta), int(Qt::Key_Shift), 0x7F})
        EXPECT_TRUE(keyName(key).isNull()) << key;
    EXPECT_EQ(modifierNames(0x300), "Shift + Control + ");
    EXPECT_EQ(modifierNames(0xC00), "Alt + Meta + ");
    EXPECT_FALSE(modifierNames(0).isNull());
    EXPECT_TRUE(modifierNames(0).isEmpty());
}
