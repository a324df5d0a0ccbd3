// Two ways of sharing a stream's work between two threads: a relay, where
// one produces rounds into a ring of slots and the other consumes them
// strictly in order; and a share of independent jobs, each done whole by
// whichever thread takes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kelm {

/// Fills the round in slot `slot`; false when it was the last.
using ProduceRound = std::function<bool(std::size_t slot)>;
/// Writes the round in slot `slot`; false to end the relay early.
using ConsumeRound = std::function<bool(std::size_t slot)>;

/// Produces rounds into `slots` slots in turn and consumes each, strictly in
/// order, until the last is consumed or consume says stop. With more than
/// one slot a helper thread produces while the calling thread consumes, and
/// the calling thread produces a round itself when it finds it unbegun; one
/// round is produced at a time, each after the one before. Where no thread
/// can be started, or with one slot, the calling thread does both. An
/// exception on either side ends the relay, and once both sides have
/// stopped it is thrown again on the calling thread.
void relay_rounds(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume);

/// Does job `job` on worker `worker` (0 or 1, so each may keep a buffer of
/// its own); false to have no further job begun.
using DoJob = std::function<bool(std::uint64_t job, std::size_t worker)>;

/// Does jobs 0 to jobs - 1, each once and whole, on the calling thread
/// (worker 0) and a helper thread (worker 1), each taking the lowest job not
/// yet taken. A job is begun only once every job two or more before it has
/// ended, so at most two neighbouring jobs are ever under way. Neither
/// thread waits for the other except at that bound and at the end. Where no
/// thread can be started the calling thread does every job. An exception
/// ends the share: no further job is begun, a job under way on the other
/// thread runs to its end, and the exception is thrown again on the
/// calling thread.
void share_jobs(std::uint64_t jobs, const DoJob& work);

}  // namespace kelm
