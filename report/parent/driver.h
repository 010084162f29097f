// Why a compressor does not open, from its driver file alone: where the
// platform's loader finds it, what the file is, and which DLL it needs is
// missing. Nothing here runs a driver's code.
#pragma once

#include "report/out/row.h"

#include <optional>
#include <string>

namespace selnary::report {

struct DriverLook {
    std::optional<Reason> reason;  // none where the file looks sound (the driver itself refused)
    std::optional<std::string> path;  // where the platform finds the file, if it does
    std::optional<std::string> missing_dll;
};

// It only reads files, and runs where no compressor was loaded: one that
// was unloaded may leave the platform's loader unusable in that process.
DriverLook look_at_driver(const std::wstring& driver, bool follow_imports = true);

}  // namespace selnary::report
