// The explorer as the command line plays it: the client shows a folder,
// the user selects messages, opens the menu and chooses a command.
//
//   corvid menu [--folder NAME] [ENTRYID... | --all]
//   corvid compress [--folder NAME] (ENTRYID... | --all)
//   corvid decompress [--folder NAME] (ENTRYID... | --all)
//
// The extensions are installed in the viewer context; each adds its
// commands to the menu (InstallCommands), hears of the selection
// (OnSelectionChange) and sets the items' state (InitMenu). `menu` prints
// the menu with each item enabled or greyed; `compress` and `decompress`
// choose "Compress attachments" / "Decompress attachments" (DoCommand),
// and the client waits until the batch's worker has ended.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace corvid::client {

// `corvid COMMAND ARGS` for COMMAND menu, compress or decompress. 0 done,
// 1 the command is greyed or failed, 2 wrong use.
int RunExplorer(const std::string& command, const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err);

}  // namespace corvid::client
