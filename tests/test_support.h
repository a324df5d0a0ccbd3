// Helpers shared by the tests: a scratch folder, whole-file I/O and running
// the kelm binary as a separate process.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kelm::testing {

using Bytes = std::vector<std::uint8_t>;

/// A fresh folder per test, removed with everything in it afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  /// Path of `name` inside the folder.
  std::string path(const std::string& name) const;

  std::filesystem::path dir_;
};

void write_file(const std::string& path, const Bytes& bytes);
void write_file(const std::string& path, const std::string& text);
/// The file's bytes, or nothing if there is no regular file at `path`.
std::optional<Bytes> read_file(const std::string& path);
/// `length` pseudo-random bytes, the same for the same `seed`.
Bytes random_bytes(std::size_t length, std::uint32_t seed);
/// `length` bytes of a repeating, position-dependent pattern.
Bytes pattern(std::size_t length, std::uint8_t salt = 0);

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

/// Runs the kelm binary with `args` in folder `cwd`. Standard input is the
/// text `input`, or closed altogether when there is none.
Outcome run_binary(const std::vector<std::string>& args, const std::string& cwd,
                   const std::optional<std::string>& input);

}  // namespace kelm::testing
