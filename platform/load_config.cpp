// The load-configuration record the linker points the PE header at. Its one
// setting keeps the loader from resolving our own imports next to the program
// (a planted msvfw32.dll in Downloads): only the system folder is searched.
// It does not reach the compressors the chooser loads later by name. Loaders
// before Windows 10 1607 ignore the field. MSVC builds get the same from
// /DEPENDENTLOADFLAG, in the record its runtime provides.

#include "platform/platform.h"

namespace {

// Older SDK headers call the field Reserved1.
template <typename Record>
constexpr void set_dependent_load_flags(Record& record, WORD flags)
{
    if constexpr (requires { record.DependentLoadFlags; })
        record.DependentLoadFlags = flags;
    else
        record.Reserved1 = flags;
}

constexpr IMAGE_LOAD_CONFIG_DIRECTORY hardened_load_config()
{
    IMAGE_LOAD_CONFIG_DIRECTORY record{};
    record.Size = selnary::load_config_size;
    set_dependent_load_flags(record, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return record;
}

}  // namespace

// Found by name by the linker, so C linkage; constinit keeps it out of
// start-up code, and `used` keeps the compiler from dropping it.
extern "C" __attribute__((used)) constinit const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used =
    hardened_load_config();
