// The version every program of the project answers to --version.
#pragma once

namespace corvid {

inline constexpr char kVersion[] = "1.0.0";

}  // namespace corvid
