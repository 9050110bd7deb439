#pragma once
// Ini files: group lines "[name]" and key-value lines "key=value" (blanks around the "=" and
// empty values allowed). The whole file is read at construction. Numbers are read and written
// in the C locale, whatever the process locale is.
//
// Reading: lines are trimmed; empty lines and lines starting with ";" or "#" are comments;
// keys before the first group line belong to the group "" ; a repeated key: the last one
// counts. Writing keeps every line that was read (comments included) and writes new or
// changed keys as "key = value"; values are read back trimmed.
#include <charconv>
#include <limits>
#include <locale>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

namespace Vexa {

class IniFileManager
{
public:
    enum Flags : unsigned
    {
        ReadOnly = 1,
        // A missing group or key throws instead of giving the default; with ReadOnly, a file
        // that cannot be read throws as well.
        Strict = 2,
        // Periodic synchronisation of the original interface; accepted, no effect here.
        PeriodicSync = 8,
        // No file behind it: nothing is read at construction nor written by the destructor;
        // text() gives what would be written.
        InMemory = 16
    };

    // Reads the file. A file that cannot be read counts as empty, unless both ReadOnly and
    // Strict are set: then it throws "The file <name> cannot be read: <cause>.". Unknown flag
    // bits throw.
    IniFileManager(std::string fileName, unsigned flags);
    // A read-only manager of the contents given, read from the file named (for messages).
    IniFileManager(std::string fileName, const std::string& contents);
    // Writes the file back when the manager is writable and a value was changed; a failure
    // here is reported to the debug output only (call `write` to learn of it).
    ~IniFileManager();

    IniFileManager(const IniFileManager&) = delete;
    IniFileManager& operator=(const IniFileManager&) = delete;

    // The value text; the default when the group or the key is missing, except in strict
    // mode, which throws "group and key not found <group>, <key>".
    std::string getValue(const std::string& group, const std::string& key, const std::string& defaultValue) const;
    std::string getValue(const std::string& group, const std::string& key, const char* defaultValue) const
    {
        return getValue(group, key, std::string(defaultValue ? defaultValue : ""));
    }
    // The value text read as a number (C locale; text that is no number gives 0, a number
    // out of range the nearest representable one); missing: as the text overload.
    template<class T>
        requires std::is_arithmetic_v<T>
    T getValue(const std::string& group, const std::string& key, const T& defaultValue) const
    {
        std::string text;
        if (!find(group, key, text))
            return defaultValue;
        std::istringstream in(text);
        in.imbue(std::locale::classic());
        T value{};
        in >> value;
        return value;
    }

    // Sets the value, adding the group and the key when missing. Throws for a group or key
    // that could not be read back as written (line breaks; a key that is empty, holds "="
    // or begins with "[", ";" or "#"; blanks around either) and for a value with a line break
    // or with blanks at either end (reading trims them).
    // Throws on a read-only manager.
    void setValue(const std::string& group, const std::string& key, const std::string& text);
    void setValue(const std::string& group, const std::string& key, const char* text)
    {
        setValue(group, key, std::string(text ? text : ""));
    }
    // Numbers in the C locale, floating-point ones in the shortest form that reads back
    // exactly; bool as 1 or 0.
    template<class T>
        requires std::is_arithmetic_v<T>
    void setValue(const std::string& group, const std::string& key, const T& value)
    {
        if constexpr (std::is_same_v<T, bool>) {
            setValue(group, key, std::string(value ? "1" : "0"));
        } else {
            char buffer[64];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
            setValue(group, key, std::string(buffer, result.ptr));
        }
    }

    // Whether the file holds the group (or it was added by `setValue`).
    bool isGroupExisting(const std::string& group) const;
    // The file name up to and including its last "/"; empty when it has none (a backslash
    // does not count).
    std::string getPath() const;
    const std::string& getFileName() const { return fileName_; }

    // The text write() would put into the file.
    std::string text() const { return render(); }
    // Writes the file now (replacing it as a whole only once the new one is complete).
    // Throws on a read-only manager, when the file existed but could not be read (it would be
    // overwritten with what little is known), and when writing fails.
    void write();

private:
    struct Line
    {
        std::string text; // as read, or empty for a line made by setValue
        std::string key;  // empty for comments, blank lines and other text
        std::string value;
        bool changed = false;
    };
    struct Group
    {
        std::string name;
        bool hasHeader = false;
        bool added = false; // made by setValue: set apart from the group before it
        std::vector<Line> lines;
        std::map<std::string, std::size_t> keys; // key -> index of its last line
    };

    bool find(const std::string& group, const std::string& key, std::string& value) const;
    void read();
    void parse(std::string content);
    Group& groupFor(const std::string& name);
    std::string render() const;

    std::string fileName_;
    unsigned flags_;
    std::vector<Group> groups_;
    std::map<std::string, std::size_t> groupIndex_;
    bool changed_ = false;
    bool unreadable_ = false; // the file exists but could not be read
    bool byteOrderMark_ = false;
};

}
