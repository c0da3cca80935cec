#include "Program.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "BroadcastReport.h"
#include "CommandLine.h"
#include "Interrupt.h"
#include "TerminalHost.h"
#include "engine/AudioEngine.h"
#include "files/SameFile.h"
#include "files/WaveHeader.h"
#include "operations/BroadcastMeter.h"
#include "operations/Intake.h"
#include "operations/Operations.h"
#include "operations/OutputNaming.h"
#include "settings/Settings.h"
#include "units/Loudness.h"
#include "units/ResultsExport.h"
#include "units/TerminalText.h"

namespace tralux::cli {
namespace {

namespace fs = std::filesystem;

// `--csv -`: the export goes to standard output, in place of the table.
const std::string StandardOutputName = "-";

// False when the output took less than the whole text.
bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

int Usage(const std::string& problem) {
    // A problem can quote a name given on the command line, control characters and all.
    WriteAll(2, "tralux-cli: " + TerminalSafeLines(problem) + "\n" + UsageText());
    return ExitUsage;
}

std::string PadLeft(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// The listed files, as the window's grid holds them, with the FILE arguments they came from.
struct FileList {
    UngroupedNumbers numbers;
    std::vector<std::unique_ptr<FileData>> records;
    std::vector<FileData*> byArgument;  // nullptr for a FILE that was refused
    int rejected = 0;
    std::vector<std::string> shorterThanHeader;  // added files that hold less than they claim

    std::vector<FileData*> Files() const {
        std::vector<FileData*> files;
        for (const auto& record : records) {
            files.push_back(record.get());
        }
        return files;
    }
};

// The intake of one path, as the window takes it: a FILE naming a listed file stands for
// that file; a refused one is told and counted.
FileData* AddFile(FileList& list, SameFileIndex& listed, const std::string& path,
                  TerminalHost& host) {
    // Ctrl-C ends a long header walk too; the caller reports the cancel.
    Intake intake = TakeIn(path, listed, list.numbers, InterruptRequested);
    switch (intake.outcome) {
        case Intake::Outcome::Stopped:
            return nullptr;
        case Intake::Outcome::Listed:
            return list.records[*intake.listedAt].get();
        case Intake::Outcome::Refused:
            host.Message("Error", intake.refusal);
            ++list.rejected;
            return nullptr;
        case Intake::Outcome::Added:
            break;
    }
    listed.Add(path, list.records.size());
    list.records.push_back(std::move(intake.record));
    if (intake.shorterThanHeader) {
        list.shorterThanHeader.push_back(path);
    }
    return list.records.back().get();
}

// The settings the runs read, with the command line's choices over the settings file's.
struct Settings {
    Options options;
    PresetList presets;
    std::vector<std::string> warnings;
    std::optional<double> presetLevel;  // the level --reference names, if any
    BalanceMeasure measure = BalanceMeasure::Rms;
};

std::optional<std::string> ApplyOptions(const CommandLine& line, Settings& settings) {
    Options& options = settings.options;
    if (line.truePeakLimit) {
        options.truepeaklimit = *line.truePeakLimit;
    }
    if (line.outputDir) {
        const std::string folder = AbsolutePath(*line.outputDir);
        std::error_code error;
        if (!fs::is_directory(folder, error)) {
            return "--output-dir names no folder: " + *line.outputDir;
        }
        options.samefolder = 0;
        options.outputdir = folder;
    } else if (line.besideSource) {
        options.samefolder = 1;
    }
    if (line.suffix) {
        options.addoutputext = true;
        options.nameext = *line.suffix;
    } else if (line.noSuffix) {
        options.addoutputext = false;
    }
    if (line.maxCompression) {
        options.maxcompfactor = *line.maxCompression;
    }
    if (line.warnCompression) {
        if (*line.warnCompression > options.maxcompfactor) {
            return "--warn-compression exceeds the maximum compression " +
                   FixedPointText(options.maxcompfactor, ".");
        }
        options.warncompfactor = *line.warnCompression;
    }
    // As when the settings are loaded: the warning level never lies above the maximum.
    if (options.warncompfactor > options.maxcompfactor) {
        options.warncompfactor = options.maxcompfactor;
    }
    if (line.finalLimit) {
        options.dofinalnorm = true;
        options.normaliselevel = *line.finalLimit;
    }
    if (line.flacLevel) {
        options.flaclevel = *line.flacLevel;
    }
    if (line.units) {
        options.loudnessunits = *line.units;
    }
    return std::nullopt;
}

// Group numbers 1, 2, ... in the order of the --group options. A name is matched with the
// FILE arguments by its text; a refused FILE stays out of its group.
std::optional<std::string> AssignGroups(const CommandLine& line, FileList& list) {
    for (size_t group = 0; group < line.groups.size(); ++group) {
        const auto number = static_cast<int32_t>(group + 1);
        for (const auto& name : line.groups[group]) {
            for (size_t i = 0; i < line.files.size(); ++i) {
                FileData* file = list.byArgument[i];
                if (line.files[i] != name || file == nullptr) {
                    continue;
                }
                // Two spellings of one file, in two groups.
                if (file->GroupNumber > 0 && file->GroupNumber != number) {
                    return "'" + name + "' is the same file as one of another --group";
                }
                file->GroupNumber = number;
            }
        }
    }
    return std::nullopt;
}

// The settings file's values with the command line's over them, and the preset level that
// --reference names. The file is only read: the window program owns it.
std::optional<std::string> LoadCliSettings(const CommandLine& line,
                                           const std::string& executableFolder,
                                           Settings& settings) {
    std::string path;
    if (line.settingsFile) {
        path = AbsolutePath(*line.settingsFile);
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error) || ::access(path.c_str(), R_OK) != 0) {
            return "cannot read the settings file " + *line.settingsFile;
        }
    } else {
        path = SettingsFilePath(executableFolder);
    }
    WindowPlacement placement;
    SettingsWindowState state;
    LoadSettings(path, settings.options, placement, settings.presets, state,
                 [&settings](const std::string& message) { settings.warnings.push_back(message); });
    if (const auto problem = ApplyOptions(line, settings)) {
        return problem;
    }
    settings.measure = line.measure          ? *line.measure
                       : line.reference.lufs ? BalanceMeasure::Lufs
                                             : state.measure;
    if (settings.measure == BalanceMeasure::Lufs && line.reference.level) {
        return "--reference level:L is an RMS level, and the settings file balances by LUFS; "
               "give lufs:L or --measure rms";
    }
    // By LUFS a preset is looked for among the LUFS presets, whose levels lie below 0.
    const bool byLufs = settings.measure == BalanceMeasure::Lufs;
    if (byLufs && line.reference.choice == ReferenceChoice::Preset &&
        !line.reference.presetName.empty()) {
        const int index = state.lufspresets.FindPreset(line.reference.presetName);
        if (index < 0) {
            std::string names;
            for (const auto& name : state.lufspresets.Names()) {
                names += "\n  " + name;
            }
            return "no LUFS preset named '" + line.reference.presetName + "' in " + path +
                   (names.empty() ? "; it holds none" : "; it holds:" + names);
        }
        settings.presetLevel = state.lufspresets[index].Level;
    } else if (line.reference.choice == ReferenceChoice::Preset &&
               !line.reference.presetName.empty()) {
        const int index = settings.presets.FindPreset(line.reference.presetName);
        if (index < 0) {
            std::string names;
            for (const auto& name : settings.presets.Names()) {
                names += "\n  " + name;
            }
            return "no preset named '" + line.reference.presetName + "' in " + path +
                   (names.empty() ? "; it holds none" : "; it holds:" + names);
        }
        const double level = settings.presets[index].Level;
        // A level no file can be balanced to; the runs would only say no preset was chosen.
        if (!(level > 0.0 && level <= 32767.0)) {
            return "the preset '" + line.reference.presetName + "' in " + path + " has the level " +
                   FloatSettingText(level, ".") +
                   ", which cannot be used: a reference loudness lies above 0 and at most 32767";
        }
        settings.presetLevel = level;
    } else if (line.reference.level) {
        settings.presetLevel = line.reference.level;
    }
    return std::nullopt;
}

std::vector<const FileData*> Constant(const std::vector<FileData*>& files) {
    return {files.begin(), files.end()};
}

// broadcast: with the LUFS, dBTP and LRA columns of the source and each group's loudness.
void PrintAnalysis(const std::vector<FileData*>& files, int32_t unit, bool broadcast) {
    std::string text = PadLeft("Peak", 7) + "  " + PadLeft("Loudness", 8) + "  " +
                       (broadcast ? BroadcastHeader("Source") : std::string()) + "File\n";
    for (const FileData* file : files) {
        text += PadLeft(LoudnessText(file->Peak, unit), 7) + "  " +
                PadLeft(LoudnessText(file->ScanLoudness, unit), 8) + "  " +
                (broadcast ? BroadcastCells("Source", file->SourceBroadcast) : std::string()) +
                TerminalSafeText(file->SourceFile) + "\n";
    }
    if (broadcast) {
        text += GroupLines(Constant(files));
    }
    WriteAll(1, text);
}

// broadcast: with the LUFS, dBTP and LRA columns of source and result, and each group's
// loudness; planned: the results are a dry run's, not written, so they have none of those.
void PrintResults(const std::vector<FileData*>& files, int32_t unit, bool broadcast,
                  bool planned = false) {
    const std::string source = "Source Loudness";
    const std::string result = "Result Loudness";
    std::string text = source + "  " + (broadcast ? BroadcastHeader("Source") : std::string()) +
                       result + "  " + (broadcast ? BroadcastHeader("Result") : std::string()) +
                       "File\n";
    const BroadcastLoudness none;
    for (const FileData* file : files) {
        text += PadLeft(LoudnessText(file->ScanLoudness, unit), source.size()) + "  ";
        if (broadcast) {
            text += BroadcastCells("Source", file->SourceBroadcast);
        }
        const std::string resultCells =
            broadcast ? BroadcastCells("Result", planned ? none : file->ResultBroadcast)
                      : std::string();
        if (file->Ignored) {
            text += PadLeft("-", result.size()) + "  " + resultCells +
                    TerminalSafeText(file->SourceFile) + " (completely silent, ignored)\n";
        } else {
            text += PadLeft(LoudnessText(file->Loudness, unit), result.size()) + "  " +
                    resultCells + TerminalSafeText(file->SourceFile) + " -> " +
                    TerminalSafeText(file->ResultFile) + "\n";
        }
    }
    if (broadcast) {
        text += GroupLines(Constant(files));
    }
    WriteAll(1, text);
}

// --json: the report on standard output; false when it could not be written whole.
bool PrintJson(const std::vector<FileData*>& files, const std::vector<ResultKind>& results,
               BalanceMeasure measure, TerminalHost& host) {
    host.EndProgressLine();
    if (!WriteAll(1, JsonReport(Constant(files), results, measure))) {
        host.ShowError("Report not written to standard output");
        return false;
    }
    return true;
}

// The files an export to path must not replace: every source, and every result the run is
// going to write. A folder asked for at every run is asked for now, so that its results are
// known before anything is written; the run then takes it as the fixed folder.
// nullopt when that question went unanswered.
std::optional<ExportGuard> PlannedExportGuard(const CommandLine& line,
                                              const std::vector<FileData*>& files, Options& options,
                                              TerminalHost& host) {
    ExportGuard guard;
    for (const FileData* file : files) {
        guard.Protect(file->SourceFile);
    }
    if (line.command == Command::Analyse) {
        return guard;
    }
    if (options.samefolder == 2) {
        const std::optional<std::string> folder = host.OutputFolderPrompt();
        if (!folder) {
            return std::nullopt;
        }
        options.samefolder = 0;
        options.outputdir = *folder;
    }
    for (const FileData* file : files) {
        const std::string folder =
            options.samefolder == 1 ? FolderPart(file->SourceFile) : options.outputdir;
        // No folder: the run refuses itself before it writes.
        if (!folder.empty()) {
            guard.Protect(JoinPath(folder, ResultFileName(file->SourceFile, options)));
        }
    }
    return guard;
}

// Writes the export; returns the exit status it calls for.
int WriteExport(const std::string& path, const std::vector<FileData*>& files, int32_t unit,
                TerminalHost& host) {
    std::vector<ExportRow> rows;
    for (const FileData* file : files) {
        rows.push_back(ExportRowOf(*file));
    }
    if (path == StandardOutputName) {
        // The file's text as it is, names raw; read on a terminal, names are shown escaped.
        if (::isatty(1) == 1) {
            for (ExportRow& row : rows) {
                row.sourceFile = TerminalSafeText(row.sourceFile);
                row.resultFile = TerminalSafeText(row.resultFile);
            }
        }
        host.EndProgressLine();
        if (!WriteAll(1, ResultsText(rows, unit, LocaleDecimalSeparator()))) {
            host.ShowError("Data not written to standard output");
            return ExitFailed;
        }
        return ExitDone;
    }
    const std::string fullPath = AbsolutePath(path);
    int error = 0;
    if (const auto failure = WriteResultsFile(fullPath, rows, unit, LocaleDecimalSeparator(),
                                              ExportGuard(), &error)) {
        if (error == 0) {
            // A listed file took the export's name during the run.
            host.ShowError(*failure);
            return ExitUsage;
        }
        host.ShowError("Data not saved to " + fullPath + ": " + *failure);
        return ExitFailed;
    }
    host.EndProgressLine();
    WriteAll(2, "Data Saved to File: " + TerminalSafeText(fullPath) + "\n");
    return ExitDone;
}

// Scan only: the same pass the Prepare run starts with, and nothing written. meter: the
// sources are metered in broadcast terms beside the scan.
bool Analyse(AudioEngine& engine, const std::vector<FileData*>& files, TerminalHost& host,
             bool meter) {
    BroadcastMeter broadcast;
    engine.Observer = meter ? &broadcast : nullptr;
    double frames = 0.0;
    for (const FileData* file : files) {
        frames += file->FrameCount;
    }
    host.SetCancel([&engine] { engine.Running = false; });
    engine.Running = true;
    engine.Estimator.ResetEstimate(frames);
    host.ShowProgressLine({});
    engine.Estimator.StartTiming();
    for (FileData* file : files) {
        if (!engine.Running) {
            break;
        }
        try {
            engine.ScanFile(*file);
        } catch (const PassOpenError& error) {
            host.ShowOpenError(error.what(), error.Reason());
        }
    }
    if (meter) {
        DeliverReadings(broadcast.Finish(), files);
    }
    engine.Observer = nullptr;
    const bool completed = engine.Running;
    engine.Running = false;
    host.HideProgressLine();
    return completed;
}

// How a run of the operations layer ended.
struct RunOutcome {
    bool completed = false;  // it went to its end
    int shortOfTarget = 0;   // files whose balancing ended short of the target
    // Prepare went to its end and Balance did not start: the results are the normalised copies.
    bool preparedOnly = false;
};

// What the command line asks of a run. nullopt when the reference file was refused at intake.
std::optional<RunRequest> RequestOf(const CommandLine& line, const FileList& list,
                                    const Settings& settings, TerminalHost& host) {
    RunRequest request;
    request.options = settings.options;
    request.reference = line.reference.choice;
    request.presetLevel = settings.presetLevel;
    request.measure = settings.measure;
    request.lufsTarget = line.reference.lufs;
    request.answerYes = line.yes;
    // As in the window, the first row is highlighted when nothing else was chosen.
    request.highlighted = list.records.empty() ? nullptr : list.records.front().get();
    if (line.reference.choice == ReferenceChoice::Highlighted) {
        const auto index = static_cast<size_t>(line.reference.fileNumber - 1);
        request.highlighted = list.byArgument[index];
        if (request.highlighted == nullptr) {
            host.Message("Error", "The reference file " + line.files[index] +
                                      " cannot be used: balance operation abandoned");
            return std::nullopt;
        }
    }
    return request;
}

// Prepare, or Prepare & Balance, by the operations layer. nullopt when the reference file
// was refused at intake.
std::optional<RunOutcome> RunOperations(const CommandLine& line, const FileList& list,
                                        Settings& settings, AudioEngine& engine,
                                        TerminalHost& host) {
    const std::optional<RunRequest> asked = RequestOf(line, list, settings, host);
    if (!asked) {
        return std::nullopt;
    }
    const RunRequest& request = *asked;

    Operations operations(engine, host);
    operations.MeasureBroadcast = line.broadcast || line.json;
    operations.FilesAtOnce = Operations::EveryCore();
    host.SetCancel([&operations] { operations.Cancel(); });
    RunOutcome outcome;
    bool& completed = outcome.completed;
    if (line.command == Command::Prepare) {
        operations.Prepare(request);
        completed = operations.ReadyToBalance;
    } else {
        operations.PrepareAndBalance(request);
        // A cancelled Prepare phase also leaves ReadyToBalance false, but not every file
        // normalised.
        bool allNormalised = true;
        for (const FileData* file : list.Files()) {
            allNormalised = allNormalised && (file->Ignored || file->Normalised);
        }
        completed = allNormalised && !operations.ReadyToBalance;
        outcome.preparedOnly = allNormalised && operations.ReadyToBalance;
    }
    host.SetCancel({});
    outcome.shortOfTarget = operations.FilesShortOfTarget;
    return outcome;
}

// The result names a run would give, without checking or holding a folder. False, told,
// when there is no folder to name.
bool NamePlannedResults(const std::vector<FileData*>& files, Options& options, TerminalHost& host) {
    if (options.samefolder == 2) {
        const std::optional<std::string> folder = host.OutputFolderPrompt();
        if (!folder || folder->empty()) {
            return false;
        }
        options.samefolder = 0;
        options.outputdir = *folder;
    }
    if (options.samefolder != 1 && options.outputdir.empty()) {
        host.ShowError(messages::NoOutputFolder);
        return false;
    }
    for (FileData* file : files) {
        const std::string folder =
            options.samefolder == 1 ? FolderPart(file->SourceFile) : options.outputdir;
        file->ResultFile = JoinPath(folder, ResultFileName(file->SourceFile, options));
    }
    return true;
}

// balance --dry-run: every source read once, and the plan of Prepare & Balance printed as its
// table would be; no file is created, opened for writing, renamed or removed.
int DryRun(const CommandLine& line, const FileList& list, Settings& settings, AudioEngine& engine,
           TerminalHost& host) {
    const std::vector<FileData*> files = list.Files();
    std::optional<RunRequest> request = RequestOf(line, list, settings, host);
    if (!request || !NamePlannedResults(files, request->options, host)) {
        return ExitFailed;
    }
    const bool byLufs = request->measure == BalanceMeasure::Lufs;
    Operations operations(engine, host);
    // A plan by LUFS starts from the sources' integrated loudness.
    operations.MeasureBroadcast = line.broadcast || line.json || byLufs;
    host.SetCancel([&operations] { operations.Cancel(); });
    const std::optional<Measurements> measured = operations.Measure();
    // Its compress passes are measured over the sources themselves.
    std::optional<Preview> planned;
    if (measured) {
        planned = byLufs ? operations.PreviewByLufs(*measured, *request)
                         : operations.PlanFromMeasurements(*measured, *request);
    }
    host.SetCancel({});
    if (InterruptRequested()) {
        host.Message("tralux-cli", "cancelled");
        return ExitFailed;
    }
    if (!measured || !planned) {
        return ExitFailed;
    }
    const Preview& preview = *planned;
    if (!preview.Problem.empty()) {
        host.ShowError(preview.Problem);
        return ExitFailed;
    }
    const int32_t unit = request->options.loudnessunits;
    int shortOfTarget = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const PreviewRow& row = preview.Rows[i];
        if (!row.Planned) {
            continue;
        }
        files[i]->Loudness = row.Loudness;
        if (byLufs) {
            // The planned measures, shown as the result's; a range is not planned.
            BroadcastLoudness& result = files[i]->ResultBroadcast;
            result = BroadcastLoudness{};
            result.Measured = true;
            result.IntegratedLufs = row.Lufs;
            result.TruePeakDbtp = row.TruePeakDb;
        }
        if (!row.TargetReached) {
            ++shortOfTarget;
            host.ShowWarning(messages::TargetNotReached(
                files[i]->SourceFile,
                byLufs ? (row.Lufs ? messages::LufsText(*row.Lufs) : "silence")
                       : LoudnessText(row.Loudness, unit),
                byLufs ? messages::LufsText(row.Target) : LoudnessText(row.Target, unit)));
        }
    }
    if (preview.ReferenceLowered) {
        host.Message("tralux-cli", "the reference would be lowered to " +
                                       (byLufs ? messages::LufsText(preview.Reference)
                                               : LoudnessText(preview.Reference, unit)) +
                                       " so that no file needs more than the maximum compression");
    }
    host.Message("tralux-cli", "dry run: the results below are planned; no file was written");
    if (line.csvFile) {
        // Only `--csv -` comes this far: the export goes to standard output.
        if (const int status = WriteExport(*line.csvFile, files, unit, host); status != ExitDone) {
            return status;
        }
    } else if (line.json) {
        std::vector<ResultKind> results;
        for (size_t i = 0; i < files.size(); ++i) {
            results.push_back(preview.Rows[i].Planned ? ResultKind::Planned : ResultKind::None);
        }
        if (!PrintJson(files, results, settings.measure, host)) {
            return ExitFailed;
        }
    } else {
        PrintResults(files, unit, line.broadcast, !byLufs);
    }
    return list.rejected == 0 && shortOfTarget == 0 ? ExitDone : ExitFailed;
}

// The FILE arguments taken in, in order, until Ctrl-C.
void TakeInFiles(const CommandLine& line, FileList& list, TerminalHost& host) {
    SameFileIndex listed(SameFileRule::Listing);
    for (const auto& argument : line.files) {
        if (InterruptRequested()) {
            break;
        }
        list.byArgument.push_back(AddFile(list, listed, AbsolutePath(argument), host));
    }
    for (const auto& path : list.shorterThanHeader) {
        host.Message("Warning", ShorterThanHeaderLine(path));
    }
}

// The command's work on the listed files, then the export and the table; returns the exit
// status.
int Work(const CommandLine& line, const FileList& list, Settings& settings, TerminalHost& host) {
    const std::vector<FileData*> files = list.Files();
    const int32_t unit = settings.options.loudnessunits;
    AudioEngine engine(host);
    bool completed = false;
    int shortOfTarget = 0;
    if (line.dryRun) {
        return DryRun(line, list, settings, engine, host);
    }
    if (line.command == Command::Analyse) {
        completed = Analyse(engine, files, host, line.broadcast || line.json);
    } else {
        const auto outcome = RunOperations(line, list, settings, engine, host);
        if (!outcome) {
            return ExitFailed;
        }
        completed = outcome->completed;
        shortOfTarget = outcome->shortOfTarget;
        if (outcome->preparedOnly && host.Declined() && !InterruptRequested()) {
            host.Message("tralux-cli", messages::NotBalanced);
        }
    }

    completed = completed && !host.ErrorShown() && !host.Declined() && !InterruptRequested();
    if (InterruptRequested()) {
        host.Message("tralux-cli", "cancelled");
        return ExitFailed;
    }
    if (!completed) {
        return ExitFailed;
    }
    // The export first: a table nobody reads to the end (`| head`) must not cost it.
    if (line.csvFile) {
        if (const int status = WriteExport(*line.csvFile, files, unit, host); status != ExitDone) {
            return status;
        }
    }
    // With `--csv -` standard output holds the export alone, for the program it is piped to.
    if (line.json) {
        std::vector<ResultKind> results;
        for (const FileData* file : files) {
            results.push_back(line.command == Command::Analyse || file->Ignored
                                  ? ResultKind::None
                                  : ResultKind::Written);
        }
        if (!PrintJson(files, results, settings.measure, host)) {
            return ExitFailed;
        }
    } else if (line.csvFile != StandardOutputName) {
        if (line.command == Command::Analyse) {
            PrintAnalysis(files, unit, line.broadcast);
        } else {
            PrintResults(files, unit, line.broadcast);
        }
    }
    // The results are written and listed, but not every one is what was asked for.
    return list.rejected == 0 && shortOfTarget == 0 ? ExitDone : ExitFailed;
}

}  // namespace

std::string AbsolutePath(const std::string& path) {
    std::string full = path;
    if (full.empty() || full.front() != '/') {
        std::error_code error;
        const fs::path current = fs::current_path(error);
        full = (error ? std::string(".") : current.string()) + "/" + full;
    }
    std::string clean;
    size_t start = 0;
    while (start <= full.size()) {
        size_t slash = full.find('/', start);
        if (slash == std::string::npos) {
            slash = full.size();
        }
        const std::string segment = full.substr(start, slash - start);
        if (!segment.empty() && segment != ".") {
            clean += "/" + segment;
        }
        start = slash + 1;
    }
    return clean.empty() ? "/" : clean;
}

int RunProgram(const std::vector<std::string>& arguments, const std::string& executableFolder) {
    CommandLine line;
    try {
        line = ParseCommandLine(arguments);
    } catch (const UsageError& error) {
        return Usage(error.what());
    }
    if (line.help) {
        WriteAll(1, HelpText());
        return ExitDone;
    }
    if (line.version) {
        WriteAll(1, "tralux-cli " TRALUX_VERSION "\n");
        return ExitDone;
    }

    InstallInterruptHandler();

    Settings settings;
    if (const auto problem = LoadCliSettings(line, executableFolder, settings)) {
        return Usage(*problem);
    }
    if (line.dryRun && line.csvFile && *line.csvFile != StandardOutputName) {
        return Usage("--dry-run writes no file; --csv - prints the planned export instead");
    }
    // Before any file is read: no result is written for an export that cannot be.
    if (line.csvFile && *line.csvFile != StandardOutputName) {
        const std::string csv = AbsolutePath(*line.csvFile);
        // "new/" names a folder, even one that does not exist yet.
        const bool folder = line.csvFile->back() == '/';
        if (const auto problem = ExportTargetProblem(folder ? csv + "/" : csv)) {
            return Usage("the export cannot be written to " + csv + ": " + *problem);
        }
    }
    if (InterruptRequested()) {
        WriteAll(2, "tralux-cli: cancelled\n");
        return ExitFailed;
    }

    TerminalSetup setup;
    setup.inputIsTerminal = ::isatty(0) == 1;
    setup.outputIsTerminal = ::isatty(2) == 1;
    setup.quiet = line.quiet;
    TerminalHost host(setup);

    // An output folder the settings name but that is gone matters only when it is used.
    if (line.command != Command::Analyse && !line.outputDir && !line.besideSource &&
        settings.options.samefolder != 1 && settings.options.samefolder != 2) {
        for (const auto& warning : settings.warnings) {
            host.ShowWarning(warning);
        }
    }

    FileList list;
    TakeInFiles(line, list, host);
    const std::vector<FileData*> files = list.Files();
    if (InterruptRequested()) {
        host.Message("tralux-cli", "cancelled");
        return ExitFailed;
    }
    if (files.empty()) {
        host.Message("Error", "No file to work on");
        return ExitFailed;
    }
    if (const auto problem = AssignGroups(line, list)) {
        return Usage(*problem);
    }
    host.SetFiles(files);

    // Refused before the run, so that no result is written for an export that cannot be.
    if (line.csvFile && *line.csvFile != StandardOutputName) {
        const auto guard = PlannedExportGuard(line, files, settings.options, host);
        if (!guard) {
            return ExitFailed;
        }
        const std::string csv = AbsolutePath(*line.csvFile);
        if (guard->Covers(csv)) {
            host.Message("Error", RefusedExportMessage(csv));
            return ExitUsage;
        }
    }

    return Work(line, list, settings, host);
}

}  // namespace tralux::cli
