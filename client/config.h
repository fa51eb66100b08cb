// `corvid config`: the settings by their names in the catalogue, with the
// checks a user needs (a misspelt name, a value of the wrong type or out of
// range is refused) and a password stored encoded, never shown.
//
//   corvid config list
//   corvid config get NAME
//   corvid config set NAME VALUE
//   corvid config set Compression\Password        (the password from standard input)
//
// NAME is a full path ("Compression\CompressionLevel") or, when only one
// setting has it, the last part ("CompressionLevel"), without regard to
// case. Settings are read as the extension reads them (the user's root when
// it has them, else the machine's) and a change goes to the user's root.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace corvid::client {

inline constexpr char kConfigUsage[] =
    "usage: corvid config list\n"
    "       corvid config get NAME\n"
    "       corvid config set NAME VALUE\n"
    "       corvid config set Compression\\Password      (the password from standard input)\n";

int RunConfig(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace corvid::client
