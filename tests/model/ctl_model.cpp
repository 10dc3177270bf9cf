#include "model.h"
namespace vtrl::model {
std::string RunCtlSequence(std::uint64_t, bool) { return {}; }
}
