#pragma once

#include "SysUtils.h"

namespace kiva {

// A site or entry that cannot be packed: the message is meant for the user.
class EPackError : public Exception {
public:
    using Exception::Exception;
};

} // namespace kiva
