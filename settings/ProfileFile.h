#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace tralux {

// An initialisation file in memory: "[Section]" headers and "key=value" lines. Section and key
// names compare without regard to ASCII letter case; the first of several equal names wins.
// Lines the program does not touch (other sections, unknown keys, comments) are kept as they
// are. Reads LF and CR LF line ends; Text() and Save() write LF. Sections and keys are indexed
// once, so reading or writing a key costs a look-up, not a pass over the whole file.
class ProfileFile {
public:
    // Longest value ReadString returns; longer values are cut.
    static constexpr size_t MaxValueLength = 2047;

    ProfileFile() = default;

    // The file's contents; a missing or unreadable file reads as empty.
    static ProfileFile Load(const std::string& path);
    static ProfileFile Parse(const std::string& text);

    // Blanks around a value are dropped, and one pair of double quotes enclosing it.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // Decimal, or hexadecimal after "0x"/"0X"; out of the 32-bit range or unparsable: default.
    int32_t ReadInteger(const std::string& section, const std::string& key,
                        int32_t defaultValue) const;
    // An integer; any value other than 0 is true.
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;
    // A real in decimal or exponent notation with the given decimal separator ("." and ","
    // are accepted too); not finite or unparsable: default.
    double ReadFloat(const std::string& section, const std::string& key, double defaultValue,
                     const std::string& decimalSeparator) const;

    // Replaces the key's first occurrence, or adds it at the end of its section (the section
    // at the end of the file when it is new). A value with blanks at either end, or enclosed
    // in double quotes, is written inside double quotes so that it reads back unchanged; a
    // value is cut at its first line break.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int64_t value);
    void WriteBool(const std::string& section, const std::string& key, bool value);  // "1"/"0"
    // Shortest general notation with up to 15 significant digits ("3", "1.5", "2810").
    void WriteFloat(const std::string& section, const std::string& key, double value,
                    const std::string& decimalSeparator);
    // Removes every section of that name with all its lines.
    void EraseSection(const std::string& section);

    std::string Text() const;
    // Writes Text() to a new file beside path and renames it over path, so a failure never
    // leaves a half-written file; the folder is created when missing. Throws SettingsError
    // "Unable to write to <absolute path>" on failure.
    void Save(const std::string& path) const;

private:
    // A "[name]" line and the lines up to the next one; the lines before the first header
    // form a section without one, which no name reaches.
    struct Section {
        bool hasHeader = false;
        std::string header;
        std::vector<std::string> lines;
        std::unordered_map<std::string, size_t> keys;  // folded key -> its first line
        size_t end = 0;                                // just after the last non-blank line
    };

    const std::string* FindValue(const std::string& section, const std::string& key) const;
    void AddLine(Section& section, std::string line);
    void IndexSections();

    std::vector<Section> sections_;
    std::map<std::string, std::vector<size_t>> byName_;  // folded name -> sections in order
};

// Text of a real as the settings file holds it.
std::string FloatSettingText(double value, const std::string& decimalSeparator);

}  // namespace tralux
