#include "vexa/core/IniFileManager.h"

#include "platform/DebugOutput.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace Vexa {

namespace {

const char* const blanks = " \t\r\n\f\v";

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool hasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

}

IniFileManager::IniFileManager(std::string fileName, unsigned flags)
try : fileName_(std::move(fileName)), flags_(flags) {
    if (flags & ~unsigned(ReadOnly | Strict | InMemory | PeriodicSync))
        throw std::runtime_error("IniFileManager: unknown flags " + std::to_string(flags) + " for " + fileName_);
    if (!(flags & InMemory))
        read();
}
VEXA_RETHROW

IniFileManager::IniFileManager(std::string fileName, const std::string& contents)
try : fileName_(std::move(fileName)), flags_(ReadOnly) {
    parse(contents);
}
VEXA_RETHROW

IniFileManager::~IniFileManager()
{
    if ((flags_ & (ReadOnly | InMemory)) || !changed_)
        return;
    try {
        write();
    } catch (const std::exception& e) {
        try {
            Platform::outputDebugString(std::string(e.what()) + "\n");
        } catch (...) {
        }
    } catch (...) {
    }
}

void IniFileManager::read()
try {
    std::error_code error;
    std::string content;
    int cause = EISDIR;
    bool ok = !std::filesystem::is_directory(fileName_, error);
    if (ok) {
        errno = 0;
        std::ifstream in(fileName_, std::ios::binary);
        ok = in.is_open();
        cause = errno;
        if (ok) {
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            ok = !in.bad();
            cause = errno;
        }
    }
    if (!ok) {
        unreadable_ = std::filesystem::exists(fileName_, error);
        // Users read this: the cause as the system tells it.
        if ((flags_ & ReadOnly) && (flags_ & Strict))
            throw std::runtime_error("The file " + fileName_ + " cannot be read" +
                                     (cause ? ": " + std::string(std::strerror(cause)) : std::string()) + ".");
        return;
    }
    parse(std::move(content));
}
VEXA_RETHROW

void IniFileManager::parse(std::string content)
try {
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        byteOrderMark_ = true;
        content.erase(0, 3);
    }

    Group* current = nullptr;
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string text = content.substr(start, end - start);
        start = end + 1;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();

        const std::string line = trimmed(text);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            current = &groupFor(trimmed(line.substr(1, line.size() - 2)));
            if (!current->hasHeader) {
                current->hasHeader = true;
                continue;
            }
            // A repeated header: its keys join the group; the line itself is kept in place.
            current->lines.push_back(Line{text, {}, {}, false});
            continue;
        }
        if (!current)
            current = &groupFor("");
        Line entry{text, {}, {}, false};
        const auto equals = line.find('=');
        if (!line.empty() && line[0] != ';' && line[0] != '#' && equals != std::string::npos) {
            entry.key = trimmed(line.substr(0, equals));
            entry.value = trimmed(line.substr(equals + 1));
        }
        current->lines.push_back(std::move(entry));
        if (!current->lines.back().key.empty())
            current->keys[current->lines.back().key] = current->lines.size() - 1;
    }
}
VEXA_RETHROW

IniFileManager::Group& IniFileManager::groupFor(const std::string& name)
{
    const auto it = groupIndex_.find(name);
    if (it != groupIndex_.end())
        return groups_[it->second];
    // Keys outside any group come first in the file.
    if (name.empty()) {
        groups_.insert(groups_.begin(), Group{});
        for (auto& [n, index] : groupIndex_)
            ++index;
        groupIndex_[name] = 0;
        return groups_.front();
    }
    Group group;
    group.name = name;
    groups_.push_back(std::move(group));
    groupIndex_[name] = groups_.size() - 1;
    return groups_.back();
}

bool IniFileManager::find(const std::string& group, const std::string& key, std::string& value) const
try {
    const auto g = groupIndex_.find(group);
    if (g != groupIndex_.end()) {
        const Group& found = groups_[g->second];
        const auto k = found.keys.find(key);
        if (k != found.keys.end()) {
            value = found.lines[k->second].value;
            return true;
        }
    }
    if (flags_ & Strict)
        throw std::runtime_error("group and key not found " + group + ", " + key);
    return false;
}
VEXA_RETHROW

std::string IniFileManager::getValue(const std::string& group, const std::string& key,
                                     const std::string& defaultValue) const
try {
    std::string value;
    return find(group, key, value) ? value : defaultValue;
}
VEXA_RETHROW

void IniFileManager::setValue(const std::string& group, const std::string& key, const std::string& text)
try {
    if (flags_ & ReadOnly)
        throw std::runtime_error("IniFileManager: " + fileName_ + " is read-only");
    if (hasLineBreak(group) || trimmed(group) != group || group.find(']') != std::string::npos)
        throw std::runtime_error("IniFileManager: invalid group name \"" + group + "\"");
    if (key.empty() || hasLineBreak(key) || trimmed(key) != key || key.find('=') != std::string::npos
        || key[0] == '[' || key[0] == ';' || key[0] == '#')
        throw std::runtime_error("IniFileManager: invalid key \"" + key + "\" in group " + group);
    if (hasLineBreak(text))
        throw std::runtime_error("IniFileManager: a value must not contain a line break (" + group + ", " + key + ")");
    // Reading trims a value, so blanks at either end would not come back.
    if (trimmed(text) != text)
        throw std::runtime_error("IniFileManager: a value must not begin or end with blanks (" + group + ", " + key + ")");

    const bool added = !isGroupExisting(group);
    Group& target = groupFor(group);
    if (added && !group.empty()) {
        target.hasHeader = true;
        target.added = true;
    }
    const auto it = target.keys.find(key);
    if (it != target.keys.end()) {
        Line& line = target.lines[it->second];
        if (line.value == text)
            return;
        line.value = text;
        line.changed = true;
    } else {
        // After the group's last key, so that blank lines and comments that close the
        // group stay at its end.
        std::size_t at = 0;
        for (std::size_t i = 0; i < target.lines.size(); ++i)
            if (!target.lines[i].key.empty())
                at = i + 1;
        target.lines.insert(target.lines.begin() + static_cast<std::ptrdiff_t>(at), Line{{}, key, text, true});
        for (auto& [k, index] : target.keys)
            if (index >= at)
                ++index;
        target.keys[key] = at;
    }
    changed_ = true;
}
VEXA_RETHROW

bool IniFileManager::isGroupExisting(const std::string& group) const
{
    return groupIndex_.count(group) > 0;
}

std::string IniFileManager::getPath() const
{
    const auto slash = fileName_.rfind('/');
    return slash == std::string::npos ? std::string() : fileName_.substr(0, slash + 1);
}

std::string IniFileManager::render() const
{
    std::string out;
    if (byteOrderMark_)
        out += "\xEF\xBB\xBF";
    for (const Group& group : groups_) {
        if (group.hasHeader) {
            if (group.added && !out.empty() && out.compare(out.size() - std::min<std::size_t>(out.size(), 2), 2, "\n\n") != 0)
                out += "\n";
            out += "[" + group.name + "]\n";
        }
        for (const Line& line : group.lines) {
            if (line.changed)
                out += line.key + " = " + line.value + "\n";
            else
                out += line.text + "\n";
        }
    }
    return out;
}

void IniFileManager::write()
try {
    if (flags_ & ReadOnly)
        throw std::runtime_error("IniFileManager: " + fileName_ + " is read-only");
    if (unreadable_)
        throw std::runtime_error("IniFileManager: " + fileName_ + " could not be read and is not overwritten");
    const std::string content = render();
    try {
        AtomicFile::writeFile(fileName_, content, true);
    } catch (const WriteError& e) {
        throw WriteError(e.path(), e.error(), "IniFileManager: " + std::string(e.what()));
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("IniFileManager: " + std::string(e.what()));
    }
    changed_ = false;
}
VEXA_RETHROW

}
