#include "support/TestSupport.h"

#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace probrix::test {

TTempDir::TTempDir() {
  // A name nobody has yet: create_directory reports whether it made the folder, so a name that
  // is taken is passed over (the same on every system).
  std::random_device Seed;
  std::mt19937_64 Random(Seed());
  const std::filesystem::path Base = std::filesystem::temp_directory_path();
  for (int Attempt = 0; Attempt < 100; ++Attempt) {
    std::filesystem::path Candidate =
        Base / ("probrix-test-" + std::to_string(Random() % 1000000000));
    std::error_code Error;
    if (std::filesystem::create_directory(Candidate, Error)) {
      std::filesystem::permissions(Candidate, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::replace, Error);
      Path_ = std::move(Candidate);
      return;
    }
    if (Error) throw std::runtime_error("cannot create a temporary folder: " + Error.message());
  }
  throw std::runtime_error("no free temporary folder name");
}

TTempDir::~TTempDir() {
  std::error_code ec;
  std::filesystem::permissions(Path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(Path_, ec);
}

}  // namespace probrix::test
