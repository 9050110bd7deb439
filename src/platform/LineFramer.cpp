#include "platform/LineFramer.h"

namespace Platform {

bool LineFramer::next(char terminator, std::size_t maxBytes, std::string& text)
{
    for (std::size_t at; (at = carry_.find(terminator)) != std::string::npos;) {
        const bool dropped = dropping_;
        dropping_ = false;
        if (!dropped && at + 1 <= maxBytes) {
            text = carry_.substr(0, at + 1);
            carry_.erase(0, at + 1);
            return true;
        }
        carry_.erase(0, at + 1);
    }
    if (carry_.size() >= maxBytes) {
        carry_.clear();
        dropping_ = true;
    }
    return false;
}

std::string LineFramer::take(std::size_t maxBytes)
{
    std::string text = carry_.substr(0, maxBytes);
    carry_.erase(0, text.size());
    return text;
}

void LineFramer::clear()
{
    carry_.clear();
    dropping_ = false;
}

}
