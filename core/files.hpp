// Whole-file reads and writes and directory creation, with every failure
// reported as Error::Io carrying the operating system's text. Descriptors
// are opened close-on-exec, so a browser started meanwhile inherits none.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "kestrelite/error.hpp"

namespace kestrelite {

// The whole file as text; a file that is not valid UTF-8 is an I/O error.
Result<std::string> read_text_file(const std::filesystem::path& path);

// Creates the file or replaces its whole content. The bytes go to a
// temporary file beside it that is renamed over the target only once every
// byte is on disk, so a failed write never leaves a partial file under the
// target's name.
Result<void> write_file_replacing(const std::filesystem::path& path, std::string_view bytes);

// Creates the directory and its missing parents (mode 0777, less the umask);
// an existing directory is fine.
Result<void> create_directory_tree(const std::filesystem::path& path);

}  // namespace kestrelite
