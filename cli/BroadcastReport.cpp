#include "BroadcastReport.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

namespace tralux::cli {
namespace {

std::string Optional(const std::optional<double>& value) {
    return value ? JsonNumber(*value) : "null";
}

// The length of the UTF-8 sequence that starts text[at], or 0 when none does.
size_t Utf8Length(const std::string& text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

std::string Fixed(const std::optional<double>& value) {
    if (!value) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", *value);
    return text;
}

std::string PadLeft(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

const char* const Units[] = {"LUFS", "dBTP", "LRA"};

}  // namespace

std::string JsonNumber(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t length = Utf8Length(text, at); length > 0) {
            out.append(text, at, length);
            at += length;
            continue;
        } else {
            out += "\\ufffd";
        }
        ++at;
    }
    return out + "\"";
}

std::string JsonReport(const std::vector<const FileData*>& files,
                       const std::vector<ResultKind>& results, BalanceMeasure measure) {
    std::string json = std::string("{\"measure\": \"") +
                       (measure == BalanceMeasure::Lufs ? "lufs" : "rms") + "\", \"files\": [";
    for (size_t i = 0; i < files.size(); ++i) {
        const FileData& file = *files[i];
        const ResultKind kind = i < results.size() ? results[i] : ResultKind::None;
        const BroadcastLoudness& source = file.SourceBroadcast;
        const BroadcastLoudness& result = file.ResultBroadcast;
        const bool written = kind == ResultKind::Written && result.Measured;
        // A dry run by LUFS plans the result's loudness and true peak.
        const bool known = written || (kind == ResultKind::Planned && result.Measured);
        json += i == 0 ? "\n  {" : ",\n  {";
        json += "\"source\": " + JsonString(file.SourceFile);
        json += ", \"result\": " +
                (kind == ResultKind::None ? std::string("null") : JsonString(file.ResultFile));
        json += ", \"source_peak\": " + JsonNumber(file.Peak);
        json += ", \"source_rms\": " + JsonNumber(file.ScanLoudness);
        json += ", \"source_lufs\": " + Optional(source.IntegratedLufs);
        json += ", \"source_true_peak_dbtp\": " + Optional(source.TruePeakDbtp);
        json += ", \"source_lra\": " + Optional(source.RangeLu);
        json +=
            ", \"result_peak\": " + (written ? JsonNumber(result.SamplePeak) : std::string("null"));
        json += ", \"result_rms\": " +
                (kind == ResultKind::None ? std::string("null") : JsonNumber(file.Loudness));
        json += ", \"result_lufs\": " + (known ? Optional(result.IntegratedLufs) : "null");
        json += ", \"result_true_peak_dbtp\": " + (known ? Optional(result.TruePeakDbtp) : "null");
        json += ", \"result_lra\": " + (written ? Optional(result.RangeLu) : "null");
        json += "}";
    }
    return json + (files.empty() ? "]}\n" : "\n]}\n");
}

std::string BroadcastHeader(const std::string& side) {
    std::string text;
    for (const char* unit : Units) {
        text += side + " " + unit + "  ";
    }
    return text;
}

std::string BroadcastCells(const std::string& side, const BroadcastLoudness& measures) {
    const bool shown = measures.Measured;
    const std::optional<double> none;
    const std::optional<double> values[] = {shown ? measures.IntegratedLufs : none,
                                            shown ? measures.TruePeakDbtp : none,
                                            shown ? measures.RangeLu : none};
    std::string text;
    for (size_t k = 0; k < 3; ++k) {
        text += PadLeft(Fixed(values[k]), side.size() + 1 + std::string(Units[k]).size()) + "  ";
    }
    return text;
}

std::string GroupLines(const std::vector<const FileData*>& files) {
    std::map<int32_t, const FileData*> groups;  // a member of each group
    for (const FileData* file : files) {
        if (file->GroupNumber > 0 && !file->Ignored) {
            groups.emplace(file->GroupNumber, file);
        }
    }
    std::string text;
    for (const auto& [number, member] : groups) {
        const auto& source = member->SourceBroadcast.GroupLufs;
        const auto& result = member->ResultBroadcast.GroupLufs;
        if (!source && !result) {
            continue;
        }
        text += "Group " + std::to_string(number) + ": source " + Fixed(source) + " LUFS";
        if (result) {
            text += ", result " + Fixed(result) + " LUFS";
        }
        text += "\n";
    }
    return text;
}

}  // namespace tralux::cli
