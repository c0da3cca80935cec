#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tralux {

// A named reference loudness; Level is on the 16-bit sample scale, or in LUFS in a list of
// LUFS presets.
class Preset {
public:
    Preset(std::string name, double level) : Name(std::move(name)), Level(level) {}

    std::string Name;  // as typed: compared byte for byte, case-sensitive
    double Level;
};

// The built-in preset, recognised by its level alone.
inline constexpr const char* BuiltInPresetName = "ReplayGain '89dB' Standard";
inline constexpr double BuiltInPresetLevel = 2810.0;

// The built-in presets of integrated loudness (LUFS), in the order the list keeps names.
struct BuiltInLufsPreset {
    const char* Name;
    double Level;
};
inline constexpr BuiltInLufsPreset BuiltInLufsPresets[] = {
    {"EBU R128 (-23 LUFS)", -23.0},
    {"Podcast (-16 LUFS)", -16.0},
    {"ReplayGain 2.0 (-18 LUFS)", -18.0},
    {"Streaming (-14 LUFS)", -14.0},
};

// The ordered preset list, mirrored item for item by the window's "Preset:" drop-down: the
// drop-down's item i is Items()[i].
class PresetList {
public:
    const std::vector<Preset>& Items() const { return items_; }
    int Count() const { return static_cast<int>(items_.size()); }
    bool Empty() const { return items_.empty(); }
    const Preset& operator[](int index) const { return items_.at(static_cast<size_t>(index)); }
    // The drop-down's items, in list order.
    std::vector<std::string> Names() const;

    // Index of the first preset whose name equals name exactly, or -1.
    int FindPreset(std::string_view name) const;

    // Adds a preset or updates an existing one and returns its index, the item the drop-down
    // then selects. An existing name keeps its place and takes the level unrounded; a new
    // preset holds the level rounded (ties to even) and goes before the first preset whose
    // name is greater byte for byte, else at the end; the list is never re-sorted.
    int StorePreset(const std::string& name, double level);

    // Removes the preset at index (the drop-down's selected item, so that of two presets with
    // the same name the chosen one goes). Sets replaygaindeleted when its level is exactly
    // BuiltInPresetLevel. Returns false when the index is out of range.
    bool DeletePreset(int index, bool& replaygaindeleted);

    // The level of the preset that FindPreset finds for the name of item selectedIndex;
    // nullopt when no item is selected.
    std::optional<double> ChosenPresetLevel(int selectedIndex) const;

    void Append(Preset preset) { items_.push_back(std::move(preset)); }
    void Clear() { items_.clear(); }

    // New presets hold whole levels on the sample scale; LUFS levels are kept as given.
    bool WholeLevels = true;

private:
    std::vector<Preset> items_;
};

// The LUFS presets a settings file that holds none of its own starts with.
PresetList BuiltInLufsPresetList();
// Whether presets are exactly those.
bool HoldsBuiltInLufsPresetsOnly(const PresetList& presets);

}  // namespace tralux
