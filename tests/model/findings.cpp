// Findings of the model test, each replayed as a plain test: the seed, and
// the shortened action list where shortening changed the sequence.
#include "model.h"

namespace vtrl::model {

const std::vector<Replay>& Replays()
{
    static const std::vector<Replay> table = {
    };
    return table;
}

}  // namespace vtrl::model
