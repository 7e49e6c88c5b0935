#pragma once

namespace tacetra_cli {

bool stderr_is_terminal();

}  // namespace tacetra_cli
