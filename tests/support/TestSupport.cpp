#include "support/TestSupport.h"

#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace probrix::test {

TTempDir::TTempDir() {
  // A name nobody has yet: create_directory reports whether it made the folder, so a name that
  // is taken is passed over (the same on every system).
  std::random_device seed;
  std::mt19937_64 random(seed());
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate =
        base / ("probrix-test-" + std::to_string(random() % 1000000000));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::replace, error);
      Path_ = std::move(candidate);
      return;
    }
    if (error) throw std::runtime_error("cannot create a temporary folder: " + error.message());
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
