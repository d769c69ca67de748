#include "computeruse/RunLoopAwait.hpp"

#include "support/RunLoop.hpp"

namespace computeruse {

void RunLoopAwait::pumpUntil(double timeout, const std::function<bool()>& done) {
  support::pumpRunLoopUntil(support::RunLoop::current(), support::seconds(timeout), support::seconds(kSliceSeconds),
                            done);
}

}  // namespace computeruse
