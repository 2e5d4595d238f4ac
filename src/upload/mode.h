// What a transfer mode is to the pass above it: it says what stands in its
// way, why a file cannot go, and sends what the pass selected.
#pragma once

#include <cstddef>
#include <vector>

#include "upload/pass.h"
#include "upload/selection.h"
#include "upload/target.h"
#include "util/command.h"
#include "util/findings.h"

namespace upload {

// Why a new file cannot be sent in a mode; kNone when it can.
// kUnreadable is the pass's own (see readable_by_writers): a run refuses
// such a file when it pins it, a pass that only counts when it lists it.
enum class Refusal {
  kNone,
  kControl,
  kCommandTooLong,
  kQueueLineTooLong,
  kNameTooLong,
  kUnreadable,
  kTooLarge,  // larger than one upload to object storage can hold
};
constexpr int kRefusals = 7;
static_assert(sizeof(Tally::refused_as) / sizeof(unsigned) == kRefusals, "a count for each");

// How a send ended.
enum class SendEnd {
  kDone,  // every file of the selection has its outcome
  kStop,  // the pass ends: the server cannot be used now (or nothing more can go)
};

// What a mode's prepare found, besides its findings.
struct Readiness {
  // Its refusals hold only once a file is to go: a pass with no file to
  // send logs none of them.
  bool refuses_with_files_only = false;
};

class Sender {
 public:
  virtual ~Sender() = default;
  // Decides what stands in the way of this mode before any file: adds
  // refusals (a run logs the first and sends nothing) and, for check, what
  // it will do; builds what its sends need. Changes nothing outside the
  // sender, logs nothing.
  virtual Readiness prepare(util::Findings& findings) = 0;
  // The effects a run makes once its verdict is in, before any send:
  // clears what an earlier pass left (by default nothing). Only a run calls
  // it; logs nothing.
  virtual void apply() {}
  // Why `path`, bound for `place`, cannot be sent, kNone when it can; the
  // same for the run and for check. Changes nothing, logs nothing.
  virtual Refusal refusal_of(const char* path, const Place& place) const = 0;
  // How many files of a pass in listing order it takes at once.
  virtual size_t batch_size() const = 0;
  // Sends the pending files of the selection, giving each an outcome, and
  // disposes of each sent file (dispose_sent_file, which logs it); logs
  // each failure at LOG_ERR. kStop leaves the files not attempted pending.
  virtual SendEnd send(Pass& pass, Selection& files) = 0;
  // The outside tools it runs, for check; changes nothing.
  virtual std::vector<util::Tool> tools() const = 0;
};

}  // namespace upload
