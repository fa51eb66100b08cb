// Tools | Options as the command line plays it:
//
//   corvid options
//
// The client's own "General" page and the page of every extension that
// takes part in the property-sheets context and offers one for
// EEPS_TOOLSOPTIONS, shown as one sheet with OK, Cancel and Apply; OK and
// Apply send PSN_APPLY to every page, and the extension stores its settings.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace corvid::client {

// 0 closed with OK, 1 cancelled, no sheet could be shown, or no extension
// offers a page; 2 wrong use.
int RunOptions(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace corvid::client
