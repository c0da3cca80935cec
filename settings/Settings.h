#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include "settings/Options.h"
#include "settings/PresetList.h"
#include "settings/ProfileFile.h"
#include "units/NumberText.h"

namespace tralux {

// "Unable to write to <full path>": the settings file could not be written.
class SettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The main window's reference-level controls as plain data. LoadSettings fills it (the window
// then checks the radio button and selects the drop-down item); SaveSettings writes it.
struct SettingsWindowState {
    ReferenceChoice defaultreflevel = ReferenceChoice::Quietest;  // checked radio button
    int32_t defaultrefpreset = -1;  // selected drop-down item, -1 for none
    // What the runs balance by. By LUFS the drop-down lists the LUFS presets instead, and
    // keeps its own selection in them.
    BalanceMeasure measure = BalanceMeasure::Rms;
    PresetList lufspresets = BuiltInLufsPresetList();
    int32_t defaultlufspreset = -1;
    // The folders the window's file dialogs last showed; empty for none yet.
    std::string addfilesfolder;  // Add Files...
    std::string savedatafolder;  // Save Data to File...
    std::string outputfolder;    // Select Output Folder
};

// Receives warning texts for a "Warning" box with an OK button.
using SettingsWarning = std::function<void(const std::string& message)>;

// Reads the settings file at path (a missing file gives every default) into the records, in the
// order the program has always read them. The preset list is refilled: the numbered presets up
// to the first gap, then the built-in preset unless a pval was exactly 2810 or
// replaygaindeleted is set. An outputdir that names no folder is cleared and reported as
// "Failed to set output directory to <path>". WindowPlacement's main-window fields are for the
// window to apply.
void LoadSettings(const std::string& path, Options& options, WindowPlacement& placement,
                  PresetList& presets, SettingsWindowState& state, const SettingsWarning& warn,
                  const std::string& decimalSeparator = LocaleDecimalSeparator());

// Rewrites the "Options" and "Windows" sections of the file at path and keeps every other
// section. placement's main-window fields must hold the window's bounds and state at this
// moment. Throws SettingsError "Unable to write to <full path>"; the old file is then intact.
void SaveSettings(const std::string& path, const Options& options, const WindowPlacement& placement,
                  const PresetList& presets, const SettingsWindowState& state,
                  const std::string& decimalSeparator = LocaleDecimalSeparator());

// The same two steps on a file already in memory (ProfileFile::Save writes it).
void ReadSettings(const ProfileFile& file, Options& options, WindowPlacement& placement,
                  PresetList& presets, SettingsWindowState& state, const SettingsWarning& warn,
                  const std::string& decimalSeparator);
void WriteSettings(ProfileFile& file, const Options& options, const WindowPlacement& placement,
                   const PresetList& presets, const SettingsWindowState& state,
                   const std::string& decimalSeparator);

// The preset block alone (keys of the "Options" section). The measure and the LUFS presets
// are written only when they differ from what a file without them loads (RMS, the built-in
// LUFS presets, no LUFS selection), so a file from before them is saved as it was.
void ReadPresets(const ProfileFile& file, bool replaygaindeleted, PresetList& presets,
                 SettingsWindowState& state, const std::string& decimalSeparator);
void WritePresets(ProfileFile& file, bool replaygaindeleted, const PresetList& presets,
                  const SettingsWindowState& state, const std::string& decimalSeparator);

// Where the settings file lives, for the window program and tralux-cli alike: "tralux.ini" in
// the executable's folder for a copy that is not installed (the build tree, an unpacked
// folder) when that folder can be written; else "Tralux/tralux.ini" in the user's
// configuration folder. An installed program always uses the latter, whoever runs it: root
// can write to /usr/bin, but settings do not belong there.
std::string SettingsFilePath(const std::string& executableFolder);
// The same choice without looking at the system.
std::string ChooseSettingsFilePath(const std::string& executableFolder, bool installed,
                                   bool folderWritable, const std::string& userConfigFolder);
// Whether the executable's folder lies in an install prefix: the prefix (the folder above it,
// as /usr above /usr/bin) holds the program's share/tralux.
bool IsInstalledProgramFolder(const std::string& executableFolder);
// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config (pure form below).
std::string UserConfigFolder();
std::string UserConfigFolder(const char* xdgConfigHome, const char* home);

}  // namespace tralux
