#pragma once

// Decoding and re-encoding through the FLAC reader and writer, as a run would.

#include <cstdint>
#include <string>
#include <vector>

#include "files/FileAccess.h"
#include "files/FlacReader.h"
#include "files/FlacWriter.h"

namespace tralux::test {

struct ReaderOutcome {
    bool Opened = false;
    bool Finished = false;
    std::string Error;
    std::vector<int32_t> Samples;
    FlacEncodingTraits Traits;
};

// Reads path through FlacReader in pieces of piece frames.
inline ReaderOutcome ReadThroughReader(const std::string& path, size_t piece = 1000) {
    ReaderOutcome outcome;
    std::unique_ptr<PassFile> file = PosixFileAccess().OpenExisting(path);
    if (file == nullptr) {
        outcome.Error = "cannot open " + path;
        return outcome;
    }
    FlacReader reader(*file, path);
    outcome.Opened = reader.Open();
    if (outcome.Opened) {
        const size_t width = reader.Stream().Info.Channels;
        std::vector<int32_t> buffer(piece * width);
        while (size_t got = reader.Read(buffer.data(), piece)) {
            outcome.Samples.insert(outcome.Samples.end(), buffer.begin(),
                                   buffer.begin() + long(got * width));
        }
    }
    outcome.Finished = reader.Finished();
    outcome.Error = reader.Error();
    outcome.Traits = reader.Traits();
    return outcome;
}

// Decodes source and encodes its samples to result at level, committing only a whole file.
// The error of the reader or the writer; empty when result was written.
inline std::string Rewrite(const std::string& source, const std::string& result, int level,
                           size_t piece = 3000) {
    std::unique_ptr<PassFile> input = PosixFileAccess().OpenExisting(source);
    if (input == nullptr) {
        return "cannot open " + source;
    }
    FlacReader reader(*input, source);
    if (!reader.Open()) {
        return reader.Error();
    }
    std::unique_ptr<PassFile> output = PosixFileAccess().Create(result, nullptr);
    if (output == nullptr) {
        return "cannot create " + result;
    }
    FlacWriter writer(*output, result, reader.Stream(), reader.Stream().Info.TotalFrames, level);
    if (!writer.Start()) {
        return writer.Error();
    }
    std::vector<int32_t> buffer(piece * reader.Stream().Info.Channels);
    while (size_t got = reader.Read(buffer.data(), piece)) {
        if (!writer.Write(buffer.data(), got)) {
            return writer.Error();
        }
    }
    if (reader.Failed()) {
        return reader.Error();
    }
    if (!writer.Finish(reader.TrailingBytes())) {
        return writer.Error();
    }
    return output->Commit() ? "" : "cannot commit " + result;
}

}  // namespace tralux::test
