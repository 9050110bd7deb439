// The pass-through that every thread start of the program takes, linked in each way the program
// may be: a std::thread that cannot start stays the exception its caller handles (also without
// PIE), any other failed start reaches the watch (also in a static link, where no dynamic linker
// finds the next definition), and a sanitizer's static runtime still sees every thread.
#include "common/TestSupport.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <iostream>

namespace {

struct ProbeRun
{
    int status = -1;
    QString output; // standard output and error
};

ProbeRun runProbe(const QString& probe, const QString& mode, bool threadless)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The probe's own sanitizer speaks with its defaults, not with those of the test's build.
    for (const char* options : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        environment.remove(options);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList command = threadless ? QStringList {THREADLESS_PROGRAM, probe, mode} : QStringList {probe, mode};
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return {-1, "no end"};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, QString::fromLocal8Bit(process.readAll())};
}

}

TEST(ThreadStarts, EveryWayOfLinkingPassesStartsOnAndWatchesTheRightOnes)
{
    const QString source = MORVANTA_SOURCE_DIR;
    const struct
    {
        const char* name;
        const char* compiler;
        QStringList flags;
        bool stdThreadKnown; // a static link names no functions: its std::thread counts as any start
        const char* sanitizerMode;
        QStringList sanitizerSays;
    } links[] = {
        {"PIE", "c++", {"-fpie", "-pie"}, true, nullptr, {}},
        {"no PIE", "c++", {"-fno-pie", "-no-pie"}, true, nullptr, {}},
        {"static", "c++", {"-static"}, false, nullptr, {}},
        {"gcc's shared thread sanitizer", "c++", {"-fsanitize=thread"}, true, "race", {"WARNING: ThreadSanitizer: data race"}},
        {"gcc's shared address sanitizer", "c++", {"-fsanitize=address"}, true, "overflow",
         {"heap-buffer-overflow", "thread T1", "Thread T1 created by T0 here"}},
        {"clang's static thread sanitizer", "clang++", {"-fsanitize=thread"}, true, "race", {"WARNING: ThreadSanitizer: data race"}},
        {"clang's static address sanitizer", "clang++", {"-fsanitize=address"}, true, "overflow",
         {"heap-buffer-overflow", "thread T1", "Thread T1 created by T0 here"}},
    };
    TestSupport::ScratchDir dir;
    int linked = 0;
    for (const auto& link : links) {
        SCOPED_TRACE(link.name);
        if (QStandardPaths::findExecutable(link.compiler).isEmpty()) {
            std::cout << "not linked " << link.name << ": " << link.compiler << " is missing\n";
            continue;
        }
        const QString probe = dir.qpath() + "/probe" + QString::number(linked++);
        QProcess compile;
        compile.setProcessChannelMode(QProcess::MergedChannels);
        compile.start(link.compiler, QStringList {"-std=c++20", "-g", "-O1", "-I" + source + "/src"} + link.flags +
                                         QStringList {source + "/tools/twdemo/thread_probe.cpp", source + "/src/tapewright/ThreadStarts.cpp",
                                                      "-o", probe, "-pthread", "-ldl"});
        ASSERT_TRUE(compile.waitForFinished(300000));
        ASSERT_EQ(compile.exitCode(), 0) << compile.readAll().toStdString();

        const struct
        {
            const char* mode;
            bool threadless;
            int status;
            QString output;
        } runs[] = {
            {"std", false, 0, "ran\n"},
            {"raw", false, 0, "ran\n"},
            {"std", true, link.stdThreadKnown ? 0 : 3,
             link.stdThreadKnown ? "refused: Resource temporarily unavailable\n" : "watched: Resource temporarily unavailable\n"},
            {"raw", true, 3, "watched: Resource temporarily unavailable\n"},
        };
        for (const auto& run : runs) {
            SCOPED_TRACE(std::string(run.mode) + (run.threadless ? ", no thread can start" : ""));
            const ProbeRun result = runProbe(probe, run.mode, run.threadless);
            if (result.status == 77)
                GTEST_SKIP() << "no seccomp filter here: " << result.output.toStdString();
            EXPECT_EQ(result.status, run.status) << result.output.toStdString();
            EXPECT_EQ(result.output, run.output);
        }
        if (link.sanitizerMode) {
            const ProbeRun result = runProbe(probe, link.sanitizerMode, false);
            for (const QString& said : link.sanitizerSays)
                EXPECT_TRUE(result.output.contains(said)) << result.output.toStdString();
            EXPECT_FALSE(result.output.contains("CHECK failed")) << result.output.toStdString();
        }
    }
    if (linked == 0)
        GTEST_SKIP() << "no compiler to link with";
}
