#include "platform/ApplicationFolder.h"

#include <QCoreApplication>
#include <cstdlib>
#include <gtest/gtest.h>

TEST(ApplicationFolder, ExecutableFolderUnlessMorvantaHomeIsSet)
{
    const char* old = std::getenv("MORVANTA_HOME");
    const std::string saved = old ? old : "";
    unsetenv("MORVANTA_HOME");
    EXPECT_EQ(QCoreApplication::applicationDirPath().toStdString(), Platform::applicationFolder());

    setenv("MORVANTA_HOME", "/tmp/data//", 1);
    EXPECT_EQ("/tmp/data", Platform::applicationFolder());
    EXPECT_EQ("/tmp/data/Data/Images/a.bmp", Platform::applicationPath("Data/Images/a.bmp"));
    setenv("MORVANTA_HOME", "", 1); // empty counts as unset
    EXPECT_EQ(QCoreApplication::applicationDirPath().toStdString(), Platform::applicationFolder());

    if (old)
        setenv("MORVANTA_HOME", saved.c_str(), 1);
    else
        unsetenv("MORVANTA_HOME");
}
