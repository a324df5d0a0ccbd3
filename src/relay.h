// A relay between two threads: one produces rounds into a ring of slots,
// the other consumes them strictly in order.
#pragma once

#include <cstddef>
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

}  // namespace kelm
