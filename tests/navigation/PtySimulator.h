#pragma once
// A simulated device (a Python script under sim/) on a pseudo-terminal, for one test.
#include <QStringList>
#include <QTemporaryDir>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Its log lists what it was sent and checked. Started
// with fork and exec (which ThreadSanitizer follows), its first output line is the device.
class PtySimulator
{
public:
    PtySimulator(const QString& script, QStringList options)
    {
        options.prepend(script);
        options << "--log" << dir.filePath("sim.log");
        std::vector<std::string> args{"/usr/bin/python3"};
        for (const auto& option : options)
            args.push_back(option.toStdString());
        int out[2];
        EXPECT_EQ(0, ::pipe(out));
        pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            std::vector<char*> argv;
            for (auto& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        for (char c; ::read(out[0], &c, 1) == 1 && c != '\n';)
            device += c;
        ::close(out[0]);
    }
    ~PtySimulator()
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    std::vector<std::string> log(const std::string& prefix) const
    {
        std::ifstream in(dir.filePath("sim.log").toStdString());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            if (line.rfind(prefix, 0) == 0)
                lines.push_back(line.substr(prefix.size()));
        return lines;
    }
    QTemporaryDir dir;
    pid_t pid = -1;
    std::string device;
};

