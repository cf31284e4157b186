#pragma once

#include <string>

namespace quenwick {

// A fresh random (version 4) UUID in its 36-character upper-case text form.
std::string makeRandomUuid();

}  // namespace quenwick
