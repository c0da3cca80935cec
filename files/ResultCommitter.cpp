#include "ResultCommitter.h"

#include <unistd.h>

#include <utility>

namespace tralux {

ResultCommitter::~ResultCommitter() {
    if (pending_) {
        const Outcome outcome = Finish();
        if (outcome.Replaced >= 0) {
            ::close(outcome.Replaced);
        }
    }
    worker_.Wait();
}

void ResultCommitter::Start(std::unique_ptr<PassFile> output, std::unique_ptr<PassFile> held) {
    output_ = std::move(output);
    held_ = std::move(held);
    outcome_ = Outcome{};
    pending_ = true;
    worker_.Post([this] {
        outcome_.Whole = output_->Commit();
        outcome_.Refusal = output_->Refusal();
        outcome_.Replaced = outcome_.Whole ? output_->TakeReplaced() : -1;
        // A result not made whole loses its temporary file here, before its source lets go.
        output_.reset();
        held_.reset();
    });
}

ResultCommitter::Outcome ResultCommitter::Finish() {
    worker_.Wait();
    pending_ = false;
    return std::exchange(outcome_, Outcome{});
}

}  // namespace tralux
