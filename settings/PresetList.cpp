#include "settings/PresetList.h"

#include "units/NumberText.h"

namespace tralux {

std::vector<std::string> PresetList::Names() const {
    std::vector<std::string> names;
    names.reserve(items_.size());
    for (const Preset& preset : items_) {
        names.push_back(preset.Name);
    }
    return names;
}

int PresetList::FindPreset(std::string_view name) const {
    for (size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].Name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int PresetList::StorePreset(const std::string& name, double level) {
    const int existing = FindPreset(name);
    if (existing >= 0) {
        items_[static_cast<size_t>(existing)].Level = level;
        return existing;
    }
    // std::string compares bytes as unsigned char, so "Z" sorts before "a".
    size_t at = 0;
    while (at < items_.size() && !(items_[at].Name > name)) {
        ++at;
    }
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at),
                  Preset(name, WholeLevels ? RoundTiesToEven(level) : level));
    return static_cast<int>(at);
}

bool PresetList::DeletePreset(int index, bool& replaygaindeleted) {
    if (index < 0 || index >= Count()) {
        return false;
    }
    if (items_[static_cast<size_t>(index)].Level == BuiltInPresetLevel) {
        replaygaindeleted = true;
    }
    items_.erase(items_.begin() + index);
    return true;
}

std::optional<double> PresetList::ChosenPresetLevel(int selectedIndex) const {
    if (selectedIndex < 0 || selectedIndex >= Count()) {
        return std::nullopt;
    }
    return items_[static_cast<size_t>(FindPreset(items_[static_cast<size_t>(selectedIndex)].Name))]
        .Level;
}

PresetList BuiltInLufsPresetList() {
    PresetList presets;
    presets.WholeLevels = false;
    for (const BuiltInLufsPreset& preset : BuiltInLufsPresets) {
        presets.Append(Preset(preset.Name, preset.Level));
    }
    return presets;
}

bool HoldsBuiltInLufsPresetsOnly(const PresetList& presets) {
    const PresetList builtIn = BuiltInLufsPresetList();
    if (presets.Count() != builtIn.Count()) {
        return false;
    }
    for (int i = 0; i < presets.Count(); ++i) {
        if (presets[i].Name != builtIn[i].Name || presets[i].Level != builtIn[i].Level) {
            return false;
        }
    }
    return true;
}

}  // namespace tralux
