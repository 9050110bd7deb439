#pragma once
// The system's refusal to start a thread, on demand. While an instance lives, every std::thread
// start of the process beyond the first `allowed` fails in pthread_create with EAGAIN, as at the
// process limit, so std::thread throws its real std::system_error; with `everyThread`, so does
// every other start (Qt's QThread, Mesa's). Other starts and those outside an instance's life go
// through to the next pthread_create: libc's, or the sanitizer's interceptor in a sanitizer build.
//
// Its source defines pthread_create: add it only to test programs that use it.
namespace TestSupport {

class RefusedThreadStarts
{
public:
    explicit RefusedThreadStarts(int allowed, bool everyThread = false);
    ~RefusedThreadStarts();
    RefusedThreadStarts(const RefusedThreadStarts&) = delete;
    RefusedThreadStarts& operator=(const RefusedThreadStarts&) = delete;

    int started() const;
    int refused() const;
};

}
