#pragma once
// Exceptions never cross the Qt event loop: paints, event handlers and posted calls of the
// views end in VIEW_CATCH_ALL, which records the function on the exception trail, writes the
// trail to standard output and lets the handler return normally (a failed paint leaves the
// picture as far as it got).
class ViewFailure
{
public:
    // To be called inside a catch block. Never throws.
    static void report(const char* signature, const char* file, int line) noexcept;
    // Failures reported so far (tests).
    static unsigned long count() noexcept;
};

#define VIEW_CATCH_ALL                                                  \
    catch (...)                                                         \
    {                                                                   \
        ::ViewFailure::report(__PRETTY_FUNCTION__, __FILE__, __LINE__); \
    }
