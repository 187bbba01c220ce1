#pragma once

#include "KvbCli.h"

namespace kiva {

// The subcommands of kvb, each defined in the file of its name (KvbPack.cpp and so on).
extern const TKvbCommand kPackCommand;
extern const TKvbCommand kListCommand;
extern const TKvbCommand kCatCommand;
extern const TKvbCommand kExtractCommand;
extern const TKvbCommand kVerifyCommand;
extern const TKvbCommand kInfoCommand;
extern const TKvbCommand kSearchCommand;

} // namespace kiva
