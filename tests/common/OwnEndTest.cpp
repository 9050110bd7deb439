// The test main's promise that a test program ends what it starts and leaves no folder behind,
// however it ends.
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

// When the process started (clock ticks since boot), which tells it from a later one of the
// same number; 0 once it has ended (a zombie has).
unsigned long long startOf(pid_t pid)
{
    const std::string text = TestSupport::readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto name = text.rfind(')');
    if (name == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(name + 1));
    std::string state, skipped;
    fields >> state;
    for (int field = 4; field < 22; ++field)
        fields >> skipped;
    unsigned long long start = 0;
    fields >> start;
    return state == "Z" || state == "X" ? 0 : start;
}

}

// Run by the test below as a test program of its own: starts a child, and a grandchild that init
// adopts at once and that makes the program's temporary folder again and again; names them and
// the program's folder, and waits to be killed.
TEST(DISABLED_HeldChildren, Run)
{
    QProcess child;
    child.start("/bin/sh", {"-c", "(sh -c 'while sleep 0.1; do mkdir -p \"$TMPDIR\"; done' >/dev/null 2>&1 & "
                                  "echo $!); exec sleep 600"});
    ASSERT_TRUE(child.waitForStarted());
    ASSERT_TRUE(TestSupport::eventually([&] { return child.canReadLine() || child.waitForReadyRead(100); },
                                        std::chrono::seconds(60)));
    const QByteArray grandchild = child.readLine().trimmed();
    std::printf("held %lld %s %s\n", static_cast<long long>(child.processId()), grandchild.constData(),
                std::getenv("MORVANTA_TEST_FOLDERS"));
    std::fflush(stdout);
    child.waitForFinished(-1);
}

TEST(OwnEnd, AProgramKilledWithAChildAndAnAdoptedGrandchildLeavesNeitherNorItsFolder)
{
    const TestSupport::ScratchDir temporary;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.remove("MORVANTA_TEST_FOLDERS"); // it makes its own, in `temporary`
    environment.insert("TMPDIR", temporary.qpath());
    environment.insert("MORVANTA_TEST_WITHOUT_GUI", "1");
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QCoreApplication::applicationFilePath(),
                  {"--gtest_also_run_disabled_tests", "--gtest_filter=DISABLED_HeldChildren.Run"});
    QByteArray said;
    ASSERT_TRUE(TestSupport::eventually(
        [&] {
            while (program.canReadLine() && !said.startsWith("held "))
                said = program.readLine().trimmed();
            return said.startsWith("held ") || (!program.waitForReadyRead(100) && program.state() != QProcess::Running);
        },
        std::chrono::seconds(120)));
    const QList<QByteArray> words = said.split(' ');
    ASSERT_EQ(words.size(), 4) << said.toStdString() << program.readAllStandardError().toStdString();
    const std::string folder = words[3].toStdString();
    ASSERT_EQ(folder.rfind(temporary.path() + "/morvanta-test-", 0), 0u) << folder;
    std::vector<std::pair<pid_t, unsigned long long>> held;
    for (const QByteArray& word : {words[1], words[2]}) {
        held.emplace_back(word.toInt(), startOf(word.toInt()));
        ASSERT_NE(held.back().second, 0u) << "process " << word.toStdString() << " runs";
    }

    ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
    ASSERT_TRUE(program.waitForFinished(60000));
    std::string left;
    EXPECT_TRUE(TestSupport::eventually(
        [&] {
            left.clear();
            for (const auto& [pid, start] : held)
                if (startOf(pid) == start)
                    left += "process " + std::to_string(pid) + " ";
            if (std::filesystem::exists(folder))
                left += folder;
            return left.empty();
        },
        std::chrono::seconds(120)))
        << left;
    EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
}
