#include "install.hpp"

#include <cstdlib>

namespace kestrelite {

std::filesystem::path managed_root() {
  const char* base = std::getenv("KESTRELITE_HOME");
  if (base && *base) return std::filesystem::path(base) / "browser";
  const char* home = std::getenv("HOME");
  if (!home) home = std::getenv("USERPROFILE");
  std::filesystem::path root = home ? std::filesystem::path(home) : std::filesystem::path(".");
  return root / ".kestrelite" / "browser";
}

}  // namespace kestrelite
