#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/FileData.h"
#include "files/SameFile.h"
#include "files/WaveHeader.h"

namespace tralux {

// What taking one path into the list came to.
struct Intake {
    enum class Outcome {
        Added,    // record holds the new file, not yet listed
        Listed,   // the path names a listed file (another spelling, a link): nothing to add
        Refused,  // refusal holds the message that says why
        Stopped,  // the caller asked to stop during a long header check: nothing to add
    };
    Outcome outcome = Outcome::Refused;
    std::unique_ptr<FileData> record;
    std::optional<size_t> listedAt;  // Listed: the position of that file in the list
    std::string refusal;
    // Added: the file holds fewer frames than its header states; the user is told once
    // for all such files of an intake.
    bool shorterThanHeader = false;
};

// Whether the intake is to stop: asked between the pieces of a long header check.
using IntakeStop = HeaderStopQuery;

// The intake of one path, for the window and tralux-cli alike: a path naming a listed file
// (listed holds the list by the listing rule, with list positions) is skipped; a file
// of a format the runs do not take (see RunsTake) is refused with the window's message, which
// says what the file is; anything else
// becomes a new record numbered from numbers. The caller lists the record and adds its path
// to listed. shouldStop can end a long header check (Ctrl-C, Cancel); it may be empty.
Intake TakeIn(const std::string& path, const SameFileIndex& listed, UngroupedNumbers& numbers,
              const IntakeStop& shouldStop = {});

}  // namespace tralux
