// The source of a log line: the calling function's qualified name.
//
// The logging macros pass the compiler's signature of the calling function;
// ReduceFunctionSignature turns it into the qualified name, and
// PrepareSource gives the text written before the message.
#pragma once

#include <string>
#include <string_view>

namespace HvQorLogging {

// "bool Storage::Save(const string&)"          -> "Storage::Save"
// "Storage::Save(const string&)::<lambda(int)>" -> "Storage::Save::<lambda>"
// "void {anonymous}::Worker(int)"              -> "::Worker"
// Return types, parameters, qualifiers, template arguments and ABI tags are
// dropped; operators keep their symbol ("Foo::operator()"). A text without
// '(' is an explicit name and is returned unchanged, as is a signature this
// reader does not understand.
std::string ReduceFunctionSignature(std::string_view signature);

// The source as written in a line, followed by ": "; empty for an empty
// source. A leading "`anonymous-namespace'" is dropped, and a name ending in
// "<lambda_XXXX>::operator ()" is shortened to "<lambda>".
std::string PrepareSource(std::string_view source);

}  // namespace HvQorLogging
