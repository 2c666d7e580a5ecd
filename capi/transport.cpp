#include "capi/transport.h"

namespace capi {

Transport::~Transport() = default;

} // namespace capi
