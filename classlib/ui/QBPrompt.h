// The database client's two modal prompts, reachable without Qt headers: the login dialog and the
// server choice. Both run on the GUI thread.
#pragma once
#include <string>
#include <vector>

namespace cls {

// Shows the login dialog with both edits filled (at most 31 characters each); true on OK, with
// the texts typed (both non-empty). Without a Qt application it answers false at once.
bool ExecuteLoginDialog(std::string& userName, std::string& password);
// Shows the server choice with the first name selected; true on OK, with the name chosen (at
// most 63 characters).
bool ExecutePickServerDialog(const std::vector<std::string>& names, std::string& chosen);

} // namespace cls
