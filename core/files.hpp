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
// temporary file beside it (".<name>.<16 random hex digits>.partial"),
// created exclusively, so that an existing file or link is never reused or
// followed, mode 0644
// less the umask; it is flushed to disk and only then renamed over the
// target, and the folder is flushed after the rename. So a failed write,
// or a process killed at any moment, leaves under the target's name either
// the old complete file or the new complete one.
Result<void> write_file_replacing(const std::filesystem::path& path, std::string_view bytes);

// Creates the directory and its missing parents (mode 0777, less the umask);
// an existing directory is fine.
Result<void> create_directory_tree(const std::filesystem::path& path);

}  // namespace kestrelite
