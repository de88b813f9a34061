// Small path and command-line helpers shared by the storage, the late-bound
// settings, the namespace resolution and the start of the import tool.
//
// File system paths use "/" as their separator. None of these functions
// reports an error beyond its result; all are stateless and usable on any
// thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The path separator of file system paths.
inline constexpr char kPathSeparator = '/';

// Joins two path parts: `b` when `a` is empty; `a` without one trailing
// separator when `b` is empty; otherwise `a`, a separator unless `a` already
// ends with one, and `b`.
//   JoinPath("/a/", "b") == JoinPath("/a", "b") == "/a/b";  JoinPath("/a/", "") == "/a"
std::string JoinPath(std::string_view a, std::string_view b);

// Removes one trailing path separator (the name is kept from the platform
// where the separator was a backslash). The root "/" is returned unchanged:
// stripping it would turn the root directory into the current directory.
std::string RemoveTrailingBackslash(std::string_view path);

// True when `path` names a regular file (symbolic links followed). A
// directory, a missing path, a device or a FIFO is not one: a reader must never
// block on a FIFO that stands where a settings file is expected.
bool IsRegularFile(const std::string& path);

// `text` with every occurrence of `what` replaced by `with`, left to right;
// a replacement is never searched again. An empty `what` changes nothing.
std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with);

// Quotes one command-line argument. A text of at least two characters that
// begins and ends with a double quote is taken as already quoted and returned
// unchanged; any other text (the empty one included) is returned between a
// pair of double quotes. Quotes inside are not escaped, so SplitCommandLine
// gives the text back unless it holds a double quote followed by a blank.
std::string QuoteIfNeeded(std::string_view text);

// Splits a command line into arguments, the inverse of joining QuoteIfNeeded
// texts with blanks:
// - arguments are separated by runs of blanks (space or tab);
// - an argument that begins with a double quote ends at the next double quote
//   that is followed by a blank or by the end of the line; the two quotes are
//   dropped and everything between them is taken as it stands (blanks and
//   inner quotes included), so "" is an empty argument;
// - any other argument runs to the next blank and is taken as it stands;
// - there are no escape characters: a backslash is an ordinary character.
// Returns false (and leaves `args` empty) for a quote that is never closed.
bool SplitCommandLine(std::string_view line, std::vector<std::string>& args);

// The full path of a loaded module: of the process's executable when `module`
// is null, else of the executable or shared library mapped at that address
// (pass the address of any function or object inside it). Empty when the
// address lies in no file-backed mapping or the path cannot be read.
std::string GetModulePath(const void* module = nullptr);
