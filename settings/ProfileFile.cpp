#include "settings/ProfileFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <optional>
#include <system_error>

#include "files/ReplacingFile.h"
#include "settings/Settings.h"

namespace tralux {

namespace {

constexpr const char* Blanks = " \t";

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(Blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(Blanks);
    return text.substr(first, last - first + 1);
}

// A section or key name as the index holds it: names compare without regard to case.
std::string Folded(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

// The name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
    const std::string_view text = Trim(line);
    if (text.empty() || text.front() != '[') {
        return std::nullopt;
    }
    const size_t close = text.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(text.substr(1, close - 1));
}

bool IsComment(std::string_view line) {
    const std::string_view text = Trim(line);
    return !text.empty() && (text.front() == ';' || text.front() == '#');
}

// Splits a "key=value" line; false for lines without an equals sign.
bool SplitKey(std::string_view line, std::string_view& key, std::string_view& value) {
    if (IsComment(line)) {
        return false;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        return false;
    }
    key = Trim(line.substr(0, equals));
    value = Trim(line.substr(equals + 1));
    return !key.empty();
}

std::string Unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

std::optional<int64_t> ParseInteger(std::string_view text) {
    text = Trim(text);
    int64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        // Hexadecimal fills the 32 bits, so 0xFFFFFFFF reads as -1.
        uint64_t bits = 0;
        const std::string_view digits = text.substr(2);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), bits, 16);
        if (error != std::errc() || end != digits.data() + digits.size() || bits > 0xFFFFFFFFu) {
            return std::nullopt;
        }
        return static_cast<int32_t>(static_cast<uint32_t>(bits));
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseFloat(std::string_view text, const std::string& decimalSeparator) {
    std::string plain(Trim(text));
    // The file may come from a user with another locale: the comma and the point are both
    // taken as the decimal separator, beside the locale's own.
    if (!decimalSeparator.empty() && decimalSeparator != ".") {
        for (size_t at = plain.find(decimalSeparator); at != std::string::npos;
             at = plain.find(decimalSeparator, at + 1)) {
            plain.replace(at, decimalSeparator.size(), ".");
        }
    }
    for (char& c : plain) {
        if (c == ',') {
            c = '.';
        }
    }
    std::string_view digits = plain;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits.front() == '-') {
            return std::nullopt;
        }
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                              std::chars_format::general);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

[[noreturn]] void ThrowUnableToWrite(const std::string& path) {
    std::error_code ignored;
    std::filesystem::path full = std::filesystem::absolute(path, ignored);
    if (full.empty()) {
        full = path;
    }
    throw SettingsError("Unable to write to " + full.lexically_normal().string());
}

}  // namespace

void ProfileFile::AddLine(Section& section, std::string line) {
    std::string_view key, value;
    if (SplitKey(line, key, value)) {
        section.keys.emplace(Folded(key), section.lines.size());
    }
    if (!Trim(line).empty()) {
        section.end = section.lines.size() + 1;
    }
    section.lines.push_back(std::move(line));
}

void ProfileFile::IndexSections() {
    byName_.clear();
    for (size_t i = 0; i < sections_.size(); ++i) {
        if (sections_[i].hasHeader) {
            byName_[Folded(*SectionName(sections_[i].header))].push_back(i);
        }
    }
}

ProfileFile ProfileFile::Parse(const std::string& text) {
    ProfileFile file;
    file.sections_.emplace_back();
    std::string_view rest = text;
    // A byte order mark would hide the first section header.
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") {
        rest.remove_prefix(3);
    }
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (SectionName(line)) {
            Section& section = file.sections_.emplace_back();
            section.hasHeader = true;
            section.header = std::string(line);
            continue;
        }
        file.AddLine(file.sections_.back(), std::string(line));
    }
    file.IndexSections();
    return file;
}

ProfileFile ProfileFile::Load(const std::string& path) {
    // Only a regular file is read: a FIFO would wait for a writer for ever, and a device such
    // as /dev/zero would never end. Anything else reads as an empty file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return ProfileFile();
    }
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        char buffer[8192];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(got));
        }
    }
    ::close(fd);
    return Parse(text);
}

const std::string* ProfileFile::FindValue(const std::string& section,
                                          const std::string& key) const {
    const auto named = byName_.find(Folded(section));
    if (named == byName_.end()) {
        return nullptr;
    }
    // Of several sections with one name, the first that holds the key answers.
    const std::string folded = Folded(key);
    for (const size_t index : named->second) {
        const Section& found = sections_[index];
        if (const auto line = found.keys.find(folded); line != found.keys.end()) {
            return &found.lines[line->second];
        }
    }
    return nullptr;
}

std::string ProfileFile::ReadString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue) const {
    const std::string* line = FindValue(section, key);
    if (line == nullptr) {
        return defaultValue.substr(0, MaxValueLength);
    }
    std::string_view lineKey, value;
    SplitKey(*line, lineKey, value);
    std::string text = Unquote(value);
    if (text.size() > MaxValueLength) {
        text.resize(MaxValueLength);
    }
    return text;
}

int32_t ProfileFile::ReadInteger(const std::string& section, const std::string& key,
                                 int32_t defaultValue) const {
    const std::optional<int64_t> value = ParseInteger(ReadString(section, key, ""));
    if (!value || *value < INT32_MIN || *value > INT32_MAX) {
        return defaultValue;
    }
    return static_cast<int32_t>(*value);
}

bool ProfileFile::ReadBool(const std::string& section, const std::string& key,
                           bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

double ProfileFile::ReadFloat(const std::string& section, const std::string& key,
                              double defaultValue, const std::string& decimalSeparator) const {
    return ParseFloat(ReadString(section, key, ""), decimalSeparator).value_or(defaultValue);
}

void ProfileFile::WriteString(const std::string& section, const std::string& key,
                              const std::string& value) {
    std::string text = value.substr(0, value.find_first_of("\r\n"));
    const bool padded =
        !text.empty() && (std::string_view(Blanks).find(text.front()) != std::string::npos ||
                          std::string_view(Blanks).find(text.back()) != std::string::npos);
    const bool quoted = text.size() >= 2 && text.front() == '"' && text.back() == '"';
    if (padded || quoted) {
        text = '"' + text + '"';
    }
    const std::string newLine = key + "=" + text;

    // Only the first section of that name is written to; a new one goes at the end.
    const auto named = byName_.find(Folded(section));
    if (named == byName_.end()) {
        Section& added = sections_.emplace_back();
        added.hasHeader = true;
        added.header = "[" + section + "]";
        AddLine(added, newLine);
        byName_[Folded(section)].push_back(sections_.size() - 1);
        return;
    }
    Section& found = sections_[named->second.front()];
    if (const auto line = found.keys.find(Folded(key)); line != found.keys.end()) {
        found.lines[line->second] = newLine;
        return;
    }
    // After the section's last non-blank line: only blank lines, never a key, move down.
    found.keys.emplace(Folded(key), found.end);
    found.lines.insert(found.lines.begin() + static_cast<std::ptrdiff_t>(found.end), newLine);
    ++found.end;
}

void ProfileFile::WriteInteger(const std::string& section, const std::string& key, int64_t value) {
    WriteString(section, key, std::to_string(value));
}

void ProfileFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void ProfileFile::WriteFloat(const std::string& section, const std::string& key, double value,
                             const std::string& decimalSeparator) {
    WriteString(section, key, FloatSettingText(value, decimalSeparator));
}

void ProfileFile::EraseSection(const std::string& section) {
    const std::string folded = Folded(section);
    std::vector<Section> kept;
    kept.reserve(sections_.size());
    for (Section& each : sections_) {
        if (!each.hasHeader || Folded(*SectionName(each.header)) != folded) {
            kept.push_back(std::move(each));
        }
    }
    sections_ = std::move(kept);
    IndexSections();
}

std::string ProfileFile::Text() const {
    std::string text;
    for (const Section& section : sections_) {
        if (section.hasHeader) {
            text += section.header;
            text += '\n';
        }
        for (const std::string& line : section.lines) {
            text += line;
            text += '\n';
        }
    }
    return text;
}

void ProfileFile::Save(const std::string& path) const {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path target = path;
    // Replace the file a link points to, not the link.
    if (fs::is_symlink(target, error)) {
        const fs::path resolved = fs::weakly_canonical(target, error);
        if (!error) {
            target = resolved;
        }
    }
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    fs::create_directories(folder, error);
    if (error) {
        ThrowUnableToWrite(path);
    }
    // A file the user made read-only keeps its contents.
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        ThrowUnableToWrite(path);
    }

    ReplacingFile replacement(target.string());
    const std::string text = Text();
    bool ok = replacement.Ready() &&
              (!exists || ::fchmod(replacement.Descriptor(), old.st_mode & 07777) == 0);
    ok = ok && replacement.Write(text.data(), text.size()) && replacement.Commit();
    if (!ok) {
        ThrowUnableToWrite(path);
    }
}

std::string FloatSettingText(double value, const std::string& decimalSeparator) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    std::string text(buffer, result.ptr);
    const size_t point = text.find('.');
    if (point != std::string::npos) {
        text.replace(point, 1, decimalSeparator);
    }
    return text;
}

}  // namespace tralux
