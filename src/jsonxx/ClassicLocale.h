// Numbers are read and written with a full stop whatever the process's
// LC_NUMERIC says: both directions go through the "C" locale explicitly.
#pragma once

#include <locale.h>

namespace jsonxx {
namespace detail {

// The "C" locale, created once and kept for the life of the process.
locale_t classic_c_locale();

}  // namespace detail
}  // namespace jsonxx
