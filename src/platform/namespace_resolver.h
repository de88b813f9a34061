// The namespace of an installation: a short name, declared in a
// "namespace.txt" file in the program's directory or a directory above it
// (below a program-files directory), that selects the installation's own
// machine-wide configuration key "SOFTWARE\Halvern\NS\<namespace>" instead of
// the shared "SOFTWARE\Halvern".
//
// Layout: <program-files dir>/<vendor>/.../<program>. The walk starts in the
// program's own directory and goes up to the vendor directory (inclusive);
// the nearest file that declares a namespace wins. A "namespace.txt" in the
// program-files directory itself is never read.
//
// The program-files directories are the registry's "ProgramFilesDir" (native)
// and special folder 6 ("ProgramFilesDir (x86)", else "ProgramFilesDir"); each
// is /opt when the registry names none. Paths are matched against them without
// regard to ASCII case.
//
// "namespace.txt": at most its first 512 bytes count. It must begin with the
// UTF-16LE byte-order mark (FF FE); the namespace is the UTF-16LE text after it,
// taken exactly as stored (no trimming; an odd trailing byte is ignored). A file
// of two bytes or less, without the mark, or with text that is not valid
// UTF-16 declares nothing. A namespace containing "\", "/" or "." is invalid
// and counts as none.
#pragma once

#include <string>
#include <string_view>

// One resolution of an installed path's namespace. Holds no data; its
// operations are virtual so that tests can replace the directory lookups.
// Create a fresh instance per resolution; usable on any thread.
class NamespaceResolver {
 public:
  virtual ~NamespaceResolver() = default;

  // Walks up from the directory of `start_path`, reading "namespace.txt" in
  // each directory, until one declares a namespace or `stop_dir` (compared
  // without regard to case) has been read. Empty when none does.
  virtual std::string FindNamespace(std::string_view start_path, std::string_view stop_dir);
  // The namespace declared in `dir` + "/namespace.txt"; empty when none.
  virtual std::string ReadNamespaceFile(std::string_view dir);
  // The native program-files directory.
  virtual std::string GetProgramFilesDir();
  // The 32-bit program-files directory.
  virtual std::string GetProgramFilesX86Dir();
  // True when `path` lies below the program-files directory of `kind` (5:
  // native, anything else: 32-bit); `root` then receives that directory with
  // one trailing separator. `root` is left alone otherwise.
  virtual bool MatchProgramFilesRoot(std::string_view path, int kind, std::string& root);
};

// The key of the installation's machine-wide configuration below
// HKEY_LOCAL_MACHINE: "SOFTWARE\Halvern\NS\<namespace>" when the module has a
// namespace, else "SOFTWARE\Halvern". `module` is an address inside the
// module (see GetModulePath); null for the process's executable.
// Thread-safe.
std::string GetNamespaceRegistryRoot(const void* module = nullptr);

// The process-wide cached namespace, computed (under the cache lock, so that
// concurrent first callers wait for one computation) while the cache is empty.
// A found namespace is kept for the life of the process; an empty result is
// not, so the next call looks again. Thread-safe.
std::string GetCachedNamespace(const void* module = nullptr);

// The validated namespace of the module's file path; empty when none.
std::string ComputeModuleNamespace(const void* module = nullptr);

// The namespace of an installed file `path`: the walk of FindNamespace from
// `path` up to its vendor directory, the first directory below the matching
// program-files directory (the native one tried first). Empty for a path
// outside both, or directly inside one. Not validated.
std::string ResolveNamespace(NamespaceResolver& resolver, std::string_view path);

// True when `ns` contains none of "\", "/" and ".".
bool IsValidNamespace(std::string_view ns);
