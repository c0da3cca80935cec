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

#include "engine/ReplacingFile.h"
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

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
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

ProfileFile ProfileFile::Parse(const std::string& text) {
    ProfileFile file;
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
        file.lines_.emplace_back(line);
    }
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
    bool inSection = false;
    for (const std::string& line : lines_) {
        if (const auto name = SectionName(line)) {
            inSection = SameName(*name, section);
            continue;
        }
        std::string_view lineKey, value;
        if (inSection && SplitKey(line, lineKey, value) && SameName(lineKey, key)) {
            return &line;
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

    // Find the key, or else the line after the section's last non-blank line.
    bool inSection = false;
    std::optional<size_t> insertAt;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (const auto name = SectionName(lines_[i])) {
            if (inSection) {
                break;
            }
            inSection = SameName(*name, section);
            if (inSection) {
                insertAt = i + 1;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        std::string_view lineKey, lineValue;
        if (SplitKey(lines_[i], lineKey, lineValue) && SameName(lineKey, key)) {
            lines_[i] = newLine;
            return;
        }
        if (!Trim(lines_[i]).empty()) {
            insertAt = i + 1;
        }
    }
    if (insertAt) {
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(*insertAt), newLine);
        return;
    }
    lines_.push_back("[" + section + "]");
    lines_.push_back(newLine);
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
    std::vector<std::string> kept;
    kept.reserve(lines_.size());
    bool erasing = false;
    for (std::string& line : lines_) {
        if (const auto name = SectionName(line)) {
            erasing = SameName(*name, section);
        }
        if (!erasing) {
            kept.push_back(std::move(line));
        }
    }
    lines_ = std::move(kept);
}

std::string ProfileFile::Text() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += '\n';
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
