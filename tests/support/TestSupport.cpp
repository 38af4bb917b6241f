#include "support/TestSupport.h"

#include <stdlib.h>

#include <stdexcept>
#include <system_error>

namespace probrix::test {

TTempDir::TTempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "probrix-test-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  Path_ = templ;
}

TTempDir::~TTempDir() {
  std::error_code ec;
  std::filesystem::permissions(Path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(Path_, ec);
}

}  // namespace probrix::test
