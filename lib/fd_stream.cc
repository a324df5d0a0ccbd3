#include "fd_stream.h"

#include "key.h"
#include "platform.h"

namespace kelm {

namespace {

kelm_status status_of(StreamEnd end, Direction direction) {
  switch (end) {
    case StreamEnd::kDone: return KELM_OK;
    // A seed byte alone decrypts to nothing.
    case StreamEnd::kEmpty: return direction == Direction::kDecrypt ? KELM_OK : KELM_EMPTY_INPUT;
    case StreamEnd::kReadFailed: return KELM_READ_FAILED;
    case StreamEnd::kWriteFailed: return KELM_WRITE_FAILED;
    case StreamEnd::kNoMemory: return KELM_NO_MEMORY;
    case StreamEnd::kStopped: return KELM_STOPPED;
  }
  return KELM_WRITE_FAILED;
}

/// Fills in the plan's input: where the payload starts and how long it is.
/// A decryption reads the seed byte first, wherever the input is.
kelm_status plan_input(StreamPlan& plan, const Descriptor& in, FileAccess& files,
                       std::uint8_t& seed) {
  const std::uint64_t header = plan.direction == Direction::kDecrypt ? 1 : 0;
  if (in.regular) {
    plan.input_access = Access::kAnywhere;
    if (in.size <= in.position) return KELM_EMPTY_INPUT;
    plan.payload = in.size - in.position - header;
    plan.input_offset = in.position + header;
  } else {
    plan.input_access = Access::kInOrder;
    plan.payload = UNKNOWN_LENGTH;
  }
  if (header == 0) return KELM_OK;
  const ReadResult got = in.regular
                             ? read_full_at(files, plan.input, &seed, 1, in.position, plan.stop)
                             : read_full(files, plan.input, &seed, 1, plan.stop);
  if (got.count == 1) return KELM_OK;
  if (plan.stop && plan.stop()) return KELM_STOPPED;
  return in.regular || got.failed ? KELM_READ_FAILED : KELM_EMPTY_INPUT;
}

/// The caller's callbacks, as the engine asks them.
void take_options(StreamPlan& plan, const kelm_fd_options& options) {
  if (options.stop != nullptr) {
    plan.stop = [&options] { return options.stop(options.context) != 0; };
  }
  if (options.worker != nullptr) {
    plan.worker = [&options](bool started) { options.worker(options.context, started ? 1 : 0); };
  }
  if (options.workers == 1) plan.workers = 1;
}

}  // namespace

kelm_status stream_fd(Direction direction, std::span<const std::uint8_t> key, std::uint8_t seed,
                      int in, int out, const kelm_fd_options* options, FileAccess& files,
                      PageSource& pages) {
  const kelm_fd_options none{};
  const kelm_fd_options& callbacks = options != nullptr ? *options : none;
  const std::optional<Descriptor> input = describe(in);
  const std::optional<Descriptor> output = describe(out);
  if (!input) return KELM_READ_FAILED;
  if (!output) return KELM_WRITE_FAILED;
  StreamPlan plan;
  plan.direction = direction;
  plan.input = in;
  plan.output = out;
  take_options(plan, callbacks);
  if (const kelm_status status = plan_input(plan, *input, files, seed)) return status;
  plan.output_access = output->regular ? Access::kAnywhere : Access::kInOrder;
  plan.output_offset = output->position;
  if (direction == Direction::kEncrypt) {
    plan.header = {&seed, 1};
    plan.output_offset += 1;
  }
  const KeySchedule schedule(key, seed, pages);
  if (!schedule.valid()) return KELM_NO_MEMORY;
  std::uint64_t written = 0;
  const StreamEnd end =
      stream_payload(plan, schedule.get(), files, pages, [&](std::uint64_t position) {
        written = position;
        if (callbacks.progress != nullptr) {
          callbacks.progress(callbacks.context, position, plan.payload);
        }
      });
  const kelm_status status = status_of(end, direction);
  if (status != KELM_OK) return status;
  // Regular files are left where a plain read and write would leave them.
  if (input->regular) set_position(in, input->size);
  if (output->regular) set_position(out, plan.output_offset + written);
  return KELM_OK;
}

}  // namespace kelm
