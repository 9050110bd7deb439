#include "views/ViewFailure.h"

#include "vexa/core/ExceptionStack.h"

#include <atomic>
#include <exception>
#include <iostream>

namespace {
std::atomic<unsigned long> failures{0};
}

void ViewFailure::report(const char* signature, const char* file, int line) noexcept
{
    ++failures;
    Vexa::ExceptionStack::getInstance()->push(signature, file, line);
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            std::cout << "view failure: " << e.what() << '\n';
        } catch (...) {
            std::cout << "view failure: unknown exception\n";
        }
        Vexa::ExceptionStack::getInstance()->dump(std::cout);
        std::cout.flush();
    } catch (...) {
    }
}

unsigned long ViewFailure::count() noexcept
{
    return failures;
}
