#pragma once
// Every thread start of the process passes here: the C library's pthread_create is taken over and
// passed on, so that a start that fails where no caller can handle it (Qt only warns, the GL
// driver crashes) can be made an error that ends the program. Free of Qt, so that a small program
// can be linked with it in every way the program itself may be linked.
//
// The start is passed on to the sanitizer's interceptor where one is linked in (so the sanitizer
// still sees every thread), else to the next definition the dynamic linker finds, else (a static
// link) to the C library's own. Where there is none at all the start fails with ENOSYS.
namespace ThreadStarts {

// Called with the system's error number for a failed start that is not a std::thread's (a
// std::thread reports it as the exception its caller handles); null watches nothing.
using FailureHandler = void (*)(int error);
void setFailureHandler(FailureHandler handler);

// Whether the code at `caller` (the return address of a pthread_create call) is the C++ library's
// start of a std::thread.
bool startedByStdThread(const void* caller);

}
