// Every test program runs inside a QApplication, so that Qt objects, timers and (under Xvfb)
// OpenGL contexts behave as they do in the program. A run of one test as a child process that
// needs no window (MORVANTA_TEST_WITHOUT_GUI set) runs in a QCoreApplication instead: it opens no
// display, which a child under another user or host name may have no authority for.
//
// No test writes into the running user's home or leaves files behind: the program points the
// user's folders (home, data, configuration, cache, runtime) and the temporary folder into one
// folder of its own, which goes when it ends, however it ends, after every process it started
// (see OwnFolders).
//
// The tests need an X screen of 24-bit colour (OpenGL contexts, the colours they read back) at
// least as large as the workstation's smallest, 1280x1024 (the windows and dialogs they grab or
// click lie on it whole). Given a display that has less (xvfb-run can be told any screen) or that
// cannot be opened, the program says so and runs on an Xvfb of its own.
#include <QApplication>
#include <QMetaObject>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

namespace {

// The folders of the user that tests reach through the program (the treatment log's fallback
// in the user's data folder, a file dialog's history in the configuration folder, Qt's, Mesa's
// and PulseAudio's caches and settings) and the temporary folder, all inside one folder made for
// the test program. Its child processes (death tests, runs of one test in a child, the programs
// the tests start) inherit the environment and use the same folder; only the program that made
// it removes it. A watcher process removes it once that program has ended in any way (killed,
// crashed, ended by the bound), after its own end's writes; the program removes it itself at a
// normal end too, so that it is gone by the time the program's end is seen.
//
// What the program starts ends with it, before the folder goes: a child that outlived it (the
// program under test finishing its replay, an Xvfb) would write into the folder again, or run
// on forever. The program leads a process group of its own, which its children and theirs stay
// in also once they are re-parented to init; at the end every process left in it is asked to
// end, then killed, and the folder goes once they are gone. Only a process that leaves the
// group (a detached start makes a session of its own) is not found.
class OwnFolders
{
public:
    static constexpr const char* variable = "MORVANTA_TEST_FOLDERS";

    // Called first in main, before any thread starts.
    static void setUp()
    {
        const char* given = std::getenv(variable);
        struct stat there{};
        if (given && given[0] == '/' && ::stat(given, &there) == 0 && S_ISDIR(there.st_mode))
            return; // a child of the test program that made it
        const char* tmp = std::getenv("TMPDIR");
        const std::string base = tmp && tmp[0] == '/' ? tmp : "/tmp";
        std::string made = base + "/morvanta-test-XXXXXX";
        if (!::mkdtemp(made.data())) {
            std::fprintf(stderr, "No folder of the tests' own can be made in %s: %s\n", base.c_str(), std::strerror(errno));
            std::exit(1);
        }
        root() = made;
        // Reachable by the other users some tests run programs as; home and runtime stay private.
        ::chmod(made.c_str(), 0755);
        // The temporary folder as open to others as the one it stands in for (/tmp: 1777).
        const mode_t tmpMode = ::stat(base.c_str(), &there) == 0 ? there.st_mode & 07777 : 01777;
        const std::string home = made + "/home", runtime = made + "/runtime", temporary = made + "/tmp";
        for (const std::string& folder : {home, home + "/.local", home + "/.local/share", home + "/.local/state",
                                          home + "/.config", home + "/.cache", runtime, temporary})
            ::mkdir(folder.c_str(), 0700);
        ::chmod(temporary.c_str(), tmpMode);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
        setenv("XDG_STATE_HOME", (home + "/.local/state").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("TMPDIR", temporary.c_str(), 1);
        // Shader caches would only be written: every test program starts with an empty one.
        setenv("QT_DISABLE_SHADER_DISK_CACHE", "1", 0);
        setenv("MESA_SHADER_CACHE_DISABLE", "true", 0);
        setenv(variable, made.c_str(), 1);
        leadGroup();
        startWatcher();
    }

    // Ends what the program started and removes the folder where this program made it (a
    // child's call does nothing).
    static void remove()
    {
        if (root().empty())
            return;
        endGroup();
        removeTree(root());
    }

private:
    static std::string& root()
    {
        static std::string made;
        return made;
    }

    // The program's group (0: none), the program and its parent, and whether the program found
    // the group made: a shell's job whose other commands (a pipeline's) are in it too.
    struct Group
    {
        pid_t id = 0, program = 0, parent = 0;
        bool found = false;
    };
    static Group& group()
    {
        static Group made;
        return made;
    }

    // Under ctest or a script the program starts in its parent's group and makes one of its
    // own; a shell with job control has made it one already. Signals sent to the group it left
    // (Ctrl+C in a terminal reaches ctest's group) still reach it: a relay process stays there
    // and passes them on to the program's group; it ends with the program.
    static void leadGroup()
    {
        Group& g = group();
        g.program = ::getpid();
        g.parent = ::getppid();
        const pid_t left = ::getpgrp();
        g.found = left == g.program;
        if (!g.found && ::setpgid(0, 0) != 0)
            return;
        g.id = g.program;
        if (g.found || ::fork() != 0)
            return;
        ::setpgid(0, left);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != g.program)
            ::_exit(0);
        sigset_t relayed;
        ::sigemptyset(&relayed);
        for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT})
            ::sigaddset(&relayed, number);
        ::sigprocmask(SIG_BLOCK, &relayed, nullptr);
        const int quiet = ::open("/dev/null", O_RDWR);
        for (int fd : {0, 1, 2})
            ::dup2(quiet, fd);
        ::close_range(3, ~0U, 0);
        for (int number = 0;;)
            if (::sigwait(&relayed, &number) == 0)
                ::kill(-g.program, number);
    }

    struct Process
    {
        pid_t parent = 0, group = 0;
        char state = 0;
    };

    // The processes of the system, read from /proc.
    static std::map<pid_t, Process> processes()
    {
        std::map<pid_t, Process> all;
        DIR* proc = ::opendir("/proc");
        if (!proc)
            return all;
        while (const dirent* e = ::readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(e->d_name, &end, 10);
            if (*end || pid <= 0)
                continue;
            char text[512];
            const int fd = ::open(("/proc/" + std::string(e->d_name) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
            const ssize_t got = fd < 0 ? -1 : ::read(fd, text, sizeof text - 1);
            if (fd >= 0)
                ::close(fd);
            if (got <= 0)
                continue;
            text[got] = 0;
            // The name in parentheses may hold anything, also spaces and parentheses.
            const char* name = std::strrchr(text, ')');
            Process p;
            if (name && std::sscanf(name + 1, " %c %d %d", &p.state, &p.parent, &p.group) == 3)
                all[pid_t(pid)] = p;
        }
        ::closedir(proc);
        return all;
    }

    // The processes left in the program's group other than the program, not yet ended (a
    // zombie is), without a shell job's other commands: those descend from the program's parent
    // through no process outside the group but the parent.
    static std::vector<pid_t> leftInGroup()
    {
        const Group& g = group();
        const auto all = processes();
        std::vector<pid_t> left;
        for (const auto& [pid, p] : all) {
            if (p.group != g.id || pid == g.program || p.state == 'Z' || p.state == 'X')
                continue;
            const Process* top = &p;
            for (std::size_t up = 0; up < all.size() && top->parent != g.program; ++up) {
                const auto parent = all.find(top->parent);
                if (parent == all.end() || parent->second.group != g.id)
                    break;
                top = &parent->second;
            }
            if (!g.found || top->parent != g.parent)
                left.push_back(pid);
        }
        return left;
    }

    // Asks what is left in the group to end (an Xvfb removes its lock files, the program under
    // test ends as at a shutdown), kills what has not ended after a while, and returns once all
    // are gone, or a process beyond a kill (one of another user, one stuck in the kernel) holds
    // the end too long.
    static void endGroup()
    {
        if (group().id <= 0)
            return;
        const auto asked = std::chrono::steady_clock::now();
        std::set<pid_t> told, beyond;
        for (;;) {
            std::vector<pid_t> left = leftInGroup();
            left.erase(std::remove_if(left.begin(), left.end(), [&](pid_t pid) { return beyond.count(pid) > 0; }),
                       left.end());
            const auto waited = std::chrono::steady_clock::now() - asked;
            if (left.empty() || waited > std::chrono::seconds(70))
                return;
            for (const pid_t pid : left) {
                if (told.insert(pid).second) {
                    if (::kill(pid, SIGTERM) != 0 && errno == EPERM)
                        beyond.insert(pid);
                    ::kill(pid, SIGCONT); // one that was stopped
                } else if (waited > std::chrono::seconds(10)) {
                    ::kill(pid, SIGKILL);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Removes the tree without following a link; a folder a test left closed is opened first.
    static void removeTree(const std::string& path)
    {
        struct stat entry{};
        if (::lstat(path.c_str(), &entry) != 0)
            return;
        if (!S_ISDIR(entry.st_mode)) {
            ::unlink(path.c_str());
            return;
        }
        ::chmod(path.c_str(), (entry.st_mode & 07777) | S_IRWXU);
        if (DIR* folder = ::opendir(path.c_str())) {
            std::vector<std::string> names;
            while (const dirent* e = ::readdir(folder))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    names.emplace_back(e->d_name);
            ::closedir(folder);
            for (const std::string& name : names)
                removeTree(path + "/" + name);
        }
        ::rmdir(path.c_str());
    }

    // A process outside the program's process group and tree (so that neither a Ctrl+C nor
    // ctest's end of a timed-out test reaches it) that waits for the program's end, however it
    // ends, ends what is left of its group and removes the folder. The end shows as the end of
    // a pipe only the program holds and, where the kernel has them, as a process file descriptor
    // of the program becoming readable: a forked child of the program holds the pipe too.
    static void startWatcher()
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return;
        const pid_t middle = ::fork();
        if (middle == 0) {
            // Opened while the program waits for this process: it is the program's.
            const int program = static_cast<int>(::syscall(SYS_pidfd_open, group().program, 0));
            ::setsid();
            if (::fork() != 0)
                ::_exit(0);
            ::dup2(ends[0], 0);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 1);
            ::dup2(quiet, 2);
            if (program >= 0)
                ::dup2(program, 3);
            ::close_range(program >= 0 ? 4 : 3, ~0U, 0);
            pollfd end[2] = {{0, POLLIN, 0}, {3, POLLIN, 0}};
            while (::poll(end, program >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
            }
            endGroup();
            removeTree(root());
            ::_exit(0);
        }
        ::close(ends[0]);
        if (middle > 0)
            ::waitpid(middle, nullptr, 0);
        // ends[1] stays open, unwritten, to the program's end.
    }
};

// A test that waits for something that never comes (a dialog nobody answers, an event that
// was lost) would hold its program until ctest's time-out, and with it every later test of a
// program run whole. The watchdog ends the program once one test has run past the bound
// (MORVANTA_TEST_BOUND seconds; 540 by default, inside ctest's 600 per test), naming the test
// and what the GUI shows.
class Watchdog : public ::testing::EmptyTestEventListener
{
public:
    explicit Watchdog(int boundSeconds) : bound_(boundSeconds), thread_([this] { run(); }) {}
    ~Watchdog() override
    {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void OnTestStart(const ::testing::TestInfo& info) override
    {
        std::lock_guard lock(mutex_);
        test_ = std::string(info.test_suite_name()) + "." + info.name();
        started_ = std::chrono::steady_clock::now();
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        std::lock_guard lock(mutex_);
        test_.clear();
    }

private:
    void run()
    {
        std::unique_lock lock(mutex_);
        while (!quit_) {
            wake_.wait_for(lock, std::chrono::seconds(1));
            if (test_.empty() || std::chrono::steady_clock::now() - started_ < bound_)
                continue;
            std::fprintf(stderr,
                         "\n%s ran past %lld s, the bound of one test (MORVANTA_TEST_BOUND); the program ends here.\n",
                         test_.c_str(), static_cast<long long>(bound_.count()));
            lock.unlock();
            describeGui();
            std::fflush(stdout);
            std::fflush(stderr);
            // The test goes on meanwhile and would report the end of what it started as its
            // failures: the program says nothing more.
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 1);
            ::dup2(quiet, 2);
            OwnFolders::remove();
            std::_Exit(124);
        }
    }

    // What the GUI thread shows, if it still runs its event loop (a modal dialog's loop does).
    static void describeGui()
    {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [answered] {
            if (qobject_cast<QApplication*>(QCoreApplication::instance()))
                for (QWidget* window : QApplication::topLevelWidgets())
                    if (window->isVisible())
                        std::fprintf(stderr, "  visible window: %s \"%s\" (%s)%s\n", window->metaObject()->className(),
                                     qPrintable(window->windowTitle()), qPrintable(window->objectName()),
                                     window == QApplication::activeModalWidget() ? ", the active modal one" : "");
            *answered = true;
        }, Qt::QueuedConnection);
        for (int i = 0; i < 50 && !*answered; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!*answered)
            std::fprintf(stderr, "  the GUI thread runs no event loop\n");
    }

    const std::chrono::seconds bound_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    std::string test_;
    std::chrono::steady_clock::time_point started_;
    std::thread thread_;
};

constexpr int neededDepth = 24, neededWidth = 1280, neededHeight = 1024;

// The X display in $DISPLAY, and what keeps it from carrying the tests. xvfb-run starts Xvfb
// without -noreset: it resets whenever its last client leaves and refuses connections meanwhile.
// A program that starts as another one ends tries again; it holds its connection until Qt has
// made its own, so that its own leaving cannot reset the server in between.
class GivenDisplay
{
public:
    GivenDisplay()
    {
        int number = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            connection_ = xcb_connect(nullptr, &number);
            if (!xcb_connection_has_error(connection_) || std::chrono::steady_clock::now() > end)
                break;
            xcb_disconnect(connection_);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (xcb_connection_has_error(connection_)) {
            shortfall_ = "it cannot be opened";
            return;
        }
        xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int i = 0; i < number && screen.rem; ++i)
            xcb_screen_next(&screen);
        if (!screen.rem)
            shortfall_ = "it has no screen " + std::to_string(number);
        else if (screen.data->root_depth < neededDepth || screen.data->width_in_pixels < neededWidth ||
                 screen.data->height_in_pixels < neededHeight)
            shortfall_ = "its screen is " + std::to_string(screen.data->width_in_pixels) + "x" +
                         std::to_string(screen.data->height_in_pixels) + " at depth " +
                         std::to_string(screen.data->root_depth);
    }
    ~GivenDisplay() { xcb_disconnect(connection_); }
    GivenDisplay(const GivenDisplay&) = delete;
    GivenDisplay& operator=(const GivenDisplay&) = delete;

    // "" when nothing.
    const std::string& shortfall() const { return shortfall_; }

private:
    xcb_connection_t* connection_ = nullptr;
    std::string shortfall_;
};

// An Xvfb of the program's own, at the size of the workstation's usual screen; it ends with the
// program, also when the program is killed. Started before any thread is.
class OwnXServer
{
public:
    OwnXServer()
    {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0)
            return;
        // Xvfb writes its display number into the pipe once it takes connections.
        const std::string numberFd = std::to_string(pipe[1]);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                ::_exit(1);
            ::fcntl(pipe[1], F_SETFD, 0);
            const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            ::dup2(quiet, 1);
            ::dup2(quiet, 2);
            ::execlp("Xvfb", "Xvfb", "-displayfd", numberFd.c_str(), "-screen", "0", "1920x1080x24", "-nolisten",
                     "tcp", "-noreset", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipe[1]);
        std::string number;
        // A loaded machine may take long to start it; one that never does ends it sooner.
        for (char c = 0; pid_ > 0 && c != '\n';) {
            pollfd ready{pipe[0], POLLIN, 0};
            if (::poll(&ready, 1, 180000) <= 0 || ::read(pipe[0], &c, 1) != 1)
                break;
            number += c;
        }
        ::close(pipe[0]);
        if (!number.empty() && number.back() == '\n')
            display_ = ":" + number.substr(0, number.size() - 1);
    }
    ~OwnXServer()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    OwnXServer(const OwnXServer&) = delete;
    OwnXServer& operator=(const OwnXServer&) = delete;

    // ":N", or "" when none could be started.
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// Whether the program opens an X display (not when it only lists its tests, runs without a GUI
// or on another platform).
bool listsTests(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0)
            return true;
    return false;
}

bool opensXDisplay(int argc, char** argv)
{
    if (listsTests(argc, argv))
        return false;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    return std::getenv("DISPLAY") && !std::getenv("MORVANTA_TEST_WITHOUT_GUI") &&
           (!platform || std::strcmp(platform, "xcb") == 0);
}

}

int main(int argc, char** argv)
{
    // Also when it only lists its tests (the build does after each link): Qt makes its runtime
    // folder in the temporary folder where none is set.
    OwnFolders::setUp();
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::unique_ptr<OwnXServer> ownServer;
    std::unique_ptr<GivenDisplay> given;
    if (opensXDisplay(argc, argv)) {
        given = std::make_unique<GivenDisplay>();
        if (!given->shortfall().empty()) {
            ownServer = std::make_unique<OwnXServer>();
            std::fprintf(stderr, "The display %s cannot carry these tests: %s; they need %dx%d or more at depth %d.\n",
                         std::getenv("DISPLAY"), given->shortfall().c_str(), neededWidth, neededHeight, neededDepth);
            if (ownServer->display().empty())
                std::fprintf(stderr, "No Xvfb of their own could be started either.\n");
            else {
                std::fprintf(stderr, "They run on an Xvfb of their own, %s (1920x1080 at depth 24).\n",
                             ownServer->display().c_str());
                setenv("DISPLAY", ownServer->display().c_str(), 1);
            }
        }
    }
    std::unique_ptr<QCoreApplication> app;
    if (std::getenv("MORVANTA_TEST_WITHOUT_GUI"))
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    given.reset(); // Qt holds its own connection now
    ::testing::InitGoogleTest(&argc, argv);
    const char* bound = std::getenv("MORVANTA_TEST_BOUND");
    // gtest owns the listener; it outlives RUN_ALL_TESTS with the program.
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog(bound ? std::atoi(bound) : 540));
    const int result = RUN_ALL_TESTS();
    app.reset();
    ownServer.reset();
    OwnFolders::remove();
    return result;
}
