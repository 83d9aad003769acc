#include "formatter.h"

namespace vantrel::formatter {

// The sink the Python module writes into.
template class PassFormatter<StringSink>;

}  // namespace vantrel::formatter
