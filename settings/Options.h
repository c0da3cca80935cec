#pragma once

#include <cstdint>
#include <string>

namespace tralux {

// The ranges the Advanced Options dialog keeps its stepped values in; loading the settings
// brings every stored value into them too.
inline constexpr double MinCompressionFactor = 1.1;
inline constexpr double MaxCompressionFactor = 4.0;
inline constexpr int16_t LowestFinalLimit = 1024;
inline constexpr int16_t HighestFinalLimit = 32767;

// The FLAC compression levels a result can be encoded at, and the choice of each source's own.
inline constexpr int32_t FlacLevelAsTheSource = -1;
inline constexpr int32_t HighestFlacLevel = 8;

// Whether text may be the part added to result names: a folder separator in it would send
// results into another folder, and a part of full stops alone could name one.
inline bool IsUsableNamePart(const std::string& text) {
    return text.find_first_of("/\\") == std::string::npos &&
           (text.empty() || text.find_first_not_of('.') != std::string::npos);
}

// The loudness Balance brings the files to: the window's reference-level radio buttons in
// their order, tralux-cli's --reference, and the settings file's defaultreflevel, which
// stores these values.
enum class ReferenceChoice : int32_t {
    Quietest = 0,     // "Greatest Dynamic Range" (quietestbtn): the quietest file's loudness
    Loudest = 1,      // "Smallest Dynamic Range" (loudestbtn): the loudest file's
    Highlighted = 2,  // "Highlighted File" (selectedbtn): the highlighted file's
    Preset = 3,       // "Preset:" (presetbtn): a preset's level
};

// What the runs balance by: the root mean square of all samples (the classic measure, whose
// results stay as they have always been), or the integrated loudness in LUFS under a
// true-peak ceiling. Stored as the settings file's "measure".
enum class BalanceMeasure : int32_t {
    Rms = 0,
    Lufs = 1,
};

// The range the true-peak ceiling is kept in (dBTP): above 0 it would let results clip.
inline constexpr double LowestTruePeakLimit = -20.0;
inline constexpr double HighestTruePeakLimit = 0.0;
inline constexpr double DefaultTruePeakLimit = -1.0;

// The user's options, one field per key of the settings file's "Options" section.
struct Options {
    bool givehint = true;
    std::string nameext = "_tralux";
    bool addoutputext = true;
    bool overwritewarn = false;
    int32_t samefolder = 1;  // 1 same folder, 2 prompt at every run, other: outputdir
    std::string outputdir;
    bool wavonly = true;
    bool fnamesonly = true;
    bool truncends = false;
    int32_t loudnessunits = 0;  // 0 percent, 1 decibels, 2 sample value
    int16_t normaliselevel = 32767;
    bool dofinalnorm = false;
    double maxcompfactor = 3.0;
    double warncompfactor = 1.5;
    bool replaygaindeleted = false;
    // The true-peak ceiling (dBTP) every result balanced by LUFS stays under.
    double truepeaklimit = DefaultTruePeakLimit;
    // The compression level of FLAC results, 0 to 8; AsTheSource: the level each source's
    // frames show.
    int32_t flaclevel = FlacLevelAsTheSource;
};

// Bounds of the main window and of the track grouping dialog, in screen pixels.
struct WindowPlacement {
    int32_t mainleft = 2;
    int32_t maintop = 2;
    int32_t mainwidth = 700;
    int32_t mainheight = 500;
    int32_t winstate = 0;  // 0 normal, 1 minimised, 2 maximised
    int32_t grpleft = 50;
    int32_t grptop = 50;
    int32_t grpwidth = 400;
    int32_t grpheight = 420;
    // The grid's column widths as the user set them, "w1,w2,..."; empty while the columns
    // share the grid's width by themselves.
    std::string colwidths;
    // The grid shows the broadcast measures (LUFS, true peak, loudness range) of source and
    // result, and the runs take them. Off in a file that has no such key.
    bool showbroadcast = false;
};

}  // namespace tralux
