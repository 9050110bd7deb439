// thread_probe MODE: starts threads through the pthread_create pass-through of the record and
// playback component (src/tapewright/ThreadStarts.cpp, compiled in), for the tests that link it
// in every way the program may be linked (with and without PIE, statically, with a sanitizer's
// static runtime). A failed start that is watched prints "watched: REASON" and exits 3.
//   std    a std::thread: "ran", or "refused: REASON" when it cannot start (exit 0)
//   raw    a thread started with pthread_create itself: "ran", or it is watched
//   race   two threads write one counter unguarded: a thread sanitizer that sees them says so
//   overflow  a thread reads past a heap block: the address sanitizer's report names the thread
#include "tapewright/ThreadStarts.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <system_error>
#include <thread>

namespace {

int counter = 0;

void* rawThread(void*)
{
    std::puts("ran");
    return nullptr;
}

}

int main(int argc, char** argv)
{
    ThreadStarts::setFailureHandler([](int error) {
        std::printf("watched: %s\n", std::strerror(error));
        std::fflush(stdout);
        std::_Exit(3);
    });
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "std") {
        try {
            std::thread thread([] { std::puts("ran"); });
            thread.join();
        } catch (const std::system_error& e) {
            std::printf("refused: %s\n", e.code().message().c_str());
        }
    } else if (mode == "raw") {
        pthread_t thread;
        if (const int result = pthread_create(&thread, nullptr, rawThread, nullptr); result != 0)
            std::printf("returned: %s\n", std::strerror(result));
        else
            pthread_join(thread, nullptr);
    } else if (mode == "race") {
        const auto count = [] {
            for (int i = 0; i < 100000; ++i)
                counter = counter + 1;
        };
        std::thread first(count), second(count);
        first.join();
        second.join();
        std::printf("counted %d\n", counter);
    } else if (mode == "overflow") {
        std::thread thread([] {
            volatile char* block = static_cast<char*>(std::malloc(8));
            std::printf("read %d\n", block[8]);
            std::free(const_cast<char*>(block));
        });
        thread.join();
    } else {
        std::fputs("usage: thread_probe std|raw|race|overflow\n", stderr);
        return 2;
    }
    return 0;
}
