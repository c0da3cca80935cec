#include "settings/Settings.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace tralux {

namespace {

constexpr const char* OptionsSection = "Options";
constexpr const char* WindowsSection = "Windows";
// The file dialogs' folders live in a section of their own, after the two the program has
// always written, so that those keep their keys and their order.
constexpr const char* FoldersSection = "Folders";

}  // namespace

void ReadPresets(const ProfileFile& file, bool replaygaindeleted, PresetList& presets,
                 SettingsWindowState& state, const std::string& decimalSeparator) {
    presets.Clear();
    bool builtInPresent = false;
    for (int n = 1;; ++n) {
        const std::string number = std::to_string(n);
        const std::string name = file.ReadString(OptionsSection, "pname" + number, "");
        if (name.empty()) {
            break;
        }
        const double level = file.ReadFloat(OptionsSection, "pval" + number, 0.0, decimalSeparator);
        // Only an exact 2810 is the built-in preset; 2810.4 is a user's preset near it.
        if (level == BuiltInPresetLevel) {
            builtInPresent = true;
        }
        presets.Append(Preset(name, RoundTiesToEven(level)));
    }
    if (!builtInPresent && !replaygaindeleted) {
        presets.Append(Preset(BuiltInPresetName, BuiltInPresetLevel));
    }

    // The drop-down starts without a selection; other values leave the form's choice.
    state.defaultrefpreset = -1;
    const int32_t reference = file.ReadInteger(OptionsSection, "defaultreflevel", 0);
    if (reference >= static_cast<int32_t>(ReferenceChoice::Quietest) &&
        reference <= static_cast<int32_t>(ReferenceChoice::Preset)) {
        state.defaultreflevel = static_cast<ReferenceChoice>(reference);
    }
    // Checking "Preset:" selects the first item when none is selected.
    if (state.defaultreflevel == ReferenceChoice::Preset && !presets.Empty()) {
        state.defaultrefpreset = 0;
    }
    const int32_t selection = file.ReadInteger(OptionsSection, "defaultrefpreset", 0);
    state.defaultrefpreset = selection >= 0 && selection < presets.Count() ? selection : -1;

    state.measure = file.ReadInteger(OptionsSection, "measure", 0) == 1 ? BalanceMeasure::Lufs
                                                                        : BalanceMeasure::Rms;
    const int32_t lufsCount = file.ReadInteger(OptionsSection, "lufspresets", -1);
    if (lufsCount < 0) {
        state.lufspresets = BuiltInLufsPresetList();
    } else {
        state.lufspresets.Clear();
        state.lufspresets.WholeLevels = false;
        for (int n = 1; n <= lufsCount; ++n) {
            const std::string number = std::to_string(n);
            const std::string name = file.ReadString(OptionsSection, "lufsname" + number, "");
            if (name.empty()) {
                break;
            }
            const double level = file.ReadFloat(OptionsSection, "lufslevel" + number,
                                                BuiltInLufsPresets[0].Level, decimalSeparator);
            if (std::isfinite(level)) {
                state.lufspresets.Append(Preset(name, level));
            }
        }
    }
    const int32_t lufsSelection = file.ReadInteger(OptionsSection, "defaultlufspreset", -1);
    state.defaultlufspreset =
        lufsSelection >= 0 && lufsSelection < state.lufspresets.Count() ? lufsSelection : -1;

    // A hand-edited file must not leave "Preset:" checked with nothing to choose: with no
    // presets the window disables that button, and balancing would have no level.
    if (state.defaultreflevel == ReferenceChoice::Preset) {
        if (presets.Empty()) {
            state.defaultreflevel = ReferenceChoice::Quietest;
        } else if (state.defaultrefpreset < 0) {
            state.defaultrefpreset = 0;
        }
    }
}

void WritePresets(ProfileFile& file, bool replaygaindeleted, const PresetList& presets,
                  const SettingsWindowState& state, const std::string& decimalSeparator) {
    // A value outside the choices is stored as the last one, "Preset:".
    const auto stored = static_cast<int32_t>(state.defaultreflevel);
    const int32_t reference = stored >= static_cast<int32_t>(ReferenceChoice::Quietest) &&
                                      stored < static_cast<int32_t>(ReferenceChoice::Preset)
                                  ? stored
                                  : static_cast<int32_t>(ReferenceChoice::Preset);
    file.WriteInteger(OptionsSection, "defaultreflevel", reference);
    const int32_t selection =
        state.defaultrefpreset >= 0 && state.defaultrefpreset < presets.Count()
            ? state.defaultrefpreset
            : -1;
    file.WriteInteger(OptionsSection, "defaultrefpreset", selection);
    file.WriteBool(OptionsSection, "replaygaindeleted", replaygaindeleted);
    for (int i = 0; i < presets.Count(); ++i) {
        const std::string number = std::to_string(i + 1);
        file.WriteString(OptionsSection, "pname" + number, presets[i].Name);
        file.WriteFloat(OptionsSection, "pval" + number, presets[i].Level, decimalSeparator);
    }
    if (state.measure == BalanceMeasure::Lufs) {
        file.WriteInteger(OptionsSection, "measure", static_cast<int32_t>(state.measure));
    }
    const PresetList& lufs = state.lufspresets;
    if (!HoldsBuiltInLufsPresetsOnly(lufs)) {
        file.WriteInteger(OptionsSection, "lufspresets", lufs.Count());
        for (int i = 0; i < lufs.Count(); ++i) {
            const std::string number = std::to_string(i + 1);
            file.WriteString(OptionsSection, "lufsname" + number, lufs[i].Name);
            file.WriteFloat(OptionsSection, "lufslevel" + number, lufs[i].Level, decimalSeparator);
        }
    }
    if (state.defaultlufspreset >= 0 && state.defaultlufspreset < lufs.Count()) {
        file.WriteInteger(OptionsSection, "defaultlufspreset", state.defaultlufspreset);
    }
}

void ReadSettings(const ProfileFile& file, Options& options, WindowPlacement& placement,
                  PresetList& presets, SettingsWindowState& state, const SettingsWarning& warn,
                  const std::string& decimalSeparator) {
    const Options defaults;
    const char* const s = OptionsSection;
    options.givehint = file.ReadBool(s, "givehint", defaults.givehint);
    options.nameext = file.ReadString(s, "nameext", defaults.nameext);
    if (!IsUsableNamePart(options.nameext)) {
        options.nameext = defaults.nameext;
    }
    options.addoutputext = file.ReadBool(s, "addoutputext", defaults.addoutputext);
    options.overwritewarn = file.ReadBool(s, "overwritewarn", defaults.overwritewarn);
    options.samefolder = file.ReadInteger(s, "samefolder", defaults.samefolder);
    // Any other value means the fixed folder, which the dialog stores as 0.
    if (options.samefolder != 1 && options.samefolder != 2) {
        options.samefolder = 0;
    }

    options.outputdir = file.ReadString(s, "outputdir", defaults.outputdir);
    if (!options.outputdir.empty()) {
        std::error_code error;
        if (!std::filesystem::is_directory(options.outputdir, error)) {
            const std::string path = options.outputdir;
            options.outputdir.clear();
            if (warn) {
                warn("Failed to set output directory to " + path);
            }
        }
    }

    options.wavonly = file.ReadBool(s, "wavonly", defaults.wavonly);
    options.fnamesonly = file.ReadBool(s, "fnamesonly", defaults.fnamesonly);
    options.truncends = file.ReadBool(s, "truncends", defaults.truncends);
    options.loudnessunits = file.ReadInteger(s, "loudnessunits", defaults.loudnessunits);
    if (options.loudnessunits < 0 || options.loudnessunits > 2) {
        options.loudnessunits = defaults.loudnessunits;
    }
    // The level is a 16-bit value: the low 16 bits of what was read, taken as signed, then
    // kept within the dialog's range.
    options.normaliselevel = std::clamp(
        static_cast<int16_t>(static_cast<uint16_t>(
            static_cast<uint32_t>(file.ReadInteger(s, "normaliselevel", defaults.normaliselevel)))),
        LowestFinalLimit, HighestFinalLimit);
    options.dofinalnorm = file.ReadBool(s, "dofinalnorm", defaults.dofinalnorm);
    options.maxcompfactor =
        file.ReadFloat(s, "maxcompfactor", defaults.maxcompfactor, decimalSeparator);
    options.warncompfactor =
        file.ReadFloat(s, "warncompfactor", defaults.warncompfactor, decimalSeparator);
    // As the dialog steps them: the maximum first, then the warning level below it. A
    // maximum of 0 or less would make Balance ask its question and then balance nothing.
    options.maxcompfactor =
        std::clamp(options.maxcompfactor, MinCompressionFactor, MaxCompressionFactor);
    if (options.warncompfactor > options.maxcompfactor) {
        options.warncompfactor = options.maxcompfactor;
    }
    options.warncompfactor = std::max(options.warncompfactor, MinCompressionFactor);
    options.replaygaindeleted = file.ReadBool(s, "replaygaindeleted", defaults.replaygaindeleted);
    const double ceiling =
        file.ReadFloat(s, "truepeaklimit", defaults.truepeaklimit, decimalSeparator);
    options.truepeaklimit = std::isfinite(ceiling)
                                ? std::clamp(ceiling, LowestTruePeakLimit, HighestTruePeakLimit)
                                : defaults.truepeaklimit;
    // A file written before FLAC results were made lacks the key: "as the source".
    options.flaclevel = file.ReadInteger(s, "flaclevel", defaults.flaclevel);
    if (options.flaclevel < FlacLevelAsTheSource || options.flaclevel > HighestFlacLevel) {
        options.flaclevel = defaults.flaclevel;
    }

    ReadPresets(file, options.replaygaindeleted, presets, state, decimalSeparator);

    const WindowPlacement initial;
    const char* const w = WindowsSection;
    placement.mainleft = file.ReadInteger(w, "mainleft", initial.mainleft);
    placement.maintop = file.ReadInteger(w, "maintop", initial.maintop);
    placement.mainwidth = file.ReadInteger(w, "mainwidth", initial.mainwidth);
    placement.mainheight = file.ReadInteger(w, "mainheight", initial.mainheight);
    placement.grpleft = file.ReadInteger(w, "grpleft", initial.grpleft);
    placement.grptop = file.ReadInteger(w, "grptop", initial.grptop);
    placement.grpwidth = file.ReadInteger(w, "grpwidth", initial.grpwidth);
    placement.grpheight = file.ReadInteger(w, "grpheight", initial.grpheight);
    placement.winstate = file.ReadInteger(w, "winstate", initial.winstate);
    placement.colwidths = file.ReadString(w, "colwidths", initial.colwidths);
    placement.showbroadcast = file.ReadBool(w, "showbroadcast", initial.showbroadcast);

    state.addfilesfolder = file.ReadString(FoldersSection, "addfiles", "");
    state.savedatafolder = file.ReadString(FoldersSection, "savedata", "");
    state.outputfolder = file.ReadString(FoldersSection, "outputfolder", "");
}

void WriteSettings(ProfileFile& file, const Options& options, const WindowPlacement& placement,
                   const PresetList& presets, const SettingsWindowState& state,
                   const std::string& decimalSeparator) {
    const char* const s = OptionsSection;
    file.EraseSection(s);
    file.WriteBool(s, "givehint", options.givehint);
    file.WriteString(s, "nameext", options.nameext);
    file.WriteString(s, "outputdir", options.outputdir);
    file.WriteInteger(s, "samefolder", options.samefolder);
    file.WriteBool(s, "addoutputext", options.addoutputext);
    file.WriteBool(s, "overwritewarn", options.overwritewarn);
    file.WriteBool(s, "wavonly", options.wavonly);
    file.WriteBool(s, "fnamesonly", options.fnamesonly);
    file.WriteBool(s, "truncends", options.truncends);
    file.WriteInteger(s, "loudnessunits", options.loudnessunits);
    file.WriteInteger(s, "normaliselevel", options.normaliselevel);
    file.WriteBool(s, "dofinalnorm", options.dofinalnorm);
    file.WriteFloat(s, "maxcompfactor", options.maxcompfactor, decimalSeparator);
    file.WriteFloat(s, "warncompfactor", options.warncompfactor, decimalSeparator);
    // Only away from its default, so that a file written before it existed keeps its keys.
    if (options.truepeaklimit != DefaultTruePeakLimit) {
        file.WriteFloat(s, "truepeaklimit", options.truepeaklimit, decimalSeparator);
    }
    // Only away from "as the source", so that a file written before it existed keeps its keys.
    if (options.flaclevel != FlacLevelAsTheSource) {
        file.WriteInteger(s, "flaclevel", options.flaclevel);
    }
    WritePresets(file, options.replaygaindeleted, presets, state, decimalSeparator);

    const char* const w = WindowsSection;
    file.EraseSection(w);
    file.WriteInteger(w, "winstate", placement.winstate);
    file.WriteInteger(w, "mainleft", placement.mainleft);
    file.WriteInteger(w, "maintop", placement.maintop);
    file.WriteInteger(w, "mainwidth", placement.mainwidth);
    file.WriteInteger(w, "mainheight", placement.mainheight);
    file.WriteInteger(w, "grpleft", placement.grpleft);
    file.WriteInteger(w, "grptop", placement.grptop);
    file.WriteInteger(w, "grpwidth", placement.grpwidth);
    file.WriteInteger(w, "grpheight", placement.grpheight);
    // Only once the user has set them, so that an untouched file keeps its keys.
    if (!placement.colwidths.empty()) {
        file.WriteString(w, "colwidths", placement.colwidths);
    }
    // Only once switched on, so that a file written before it existed keeps its keys.
    if (placement.showbroadcast) {
        file.WriteBool(w, "showbroadcast", true);
    }

    // Written only once a dialog has been used, so a file the user never browsed from keeps
    // exactly the two sections.
    if (!state.addfilesfolder.empty() || !state.savedatafolder.empty() ||
        !state.outputfolder.empty()) {
        file.EraseSection(FoldersSection);
        file.WriteString(FoldersSection, "addfiles", state.addfilesfolder);
        file.WriteString(FoldersSection, "savedata", state.savedatafolder);
        file.WriteString(FoldersSection, "outputfolder", state.outputfolder);
    }
}

void LoadSettings(const std::string& path, Options& options, WindowPlacement& placement,
                  PresetList& presets, SettingsWindowState& state, const SettingsWarning& warn,
                  const std::string& decimalSeparator) {
    ReadSettings(ProfileFile::Load(path), options, placement, presets, state, warn,
                 decimalSeparator);
}

void SaveSettings(const std::string& path, const Options& options, const WindowPlacement& placement,
                  const PresetList& presets, const SettingsWindowState& state,
                  const std::string& decimalSeparator) {
    ProfileFile file = ProfileFile::Load(path);
    WriteSettings(file, options, placement, presets, state, decimalSeparator);
    file.Save(path);
}

std::string UserConfigFolder(const char* xdgConfigHome, const char* home) {
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
        return xdgConfigHome;
    }
    if (home != nullptr && home[0] != '\0') {
        return (std::filesystem::path(home) / ".config").string();
    }
    // No home either: the current folder is the only place left.
    return ".config";
}

std::string UserConfigFolder() {
    return UserConfigFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

std::string ChooseSettingsFilePath(const std::string& executableFolder, bool installed,
                                   bool folderWritable, const std::string& userConfigFolder) {
    if (!installed && folderWritable) {
        return (std::filesystem::path(executableFolder) / "tralux.ini").string();
    }
    return (std::filesystem::path(userConfigFolder) / "Tralux" / "tralux.ini").string();
}

bool IsInstalledProgramFolder(const std::string& executableFolder) {
    if (executableFolder.empty()) {
        return false;
    }
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(executableFolder, error);
    const std::filesystem::path prefix = folder.lexically_normal().parent_path();
    return !error && std::filesystem::is_directory(prefix / "share" / "tralux", error);
}

std::string SettingsFilePath(const std::string& executableFolder) {
    const bool writable =
        !executableFolder.empty() && ::access(executableFolder.c_str(), W_OK | X_OK) == 0;
    return ChooseSettingsFilePath(executableFolder, IsInstalledProgramFolder(executableFolder),
                                  writable, UserConfigFolder());
}

}  // namespace tralux
